#pragma once
// The show's outputs as the window keeps them: the further outputs that play
// beside the panel's DAC, kept in the settings file as
//   [show] outputs = Ether Dream 00:00:02, IDN my-laser
// (full names, as the Devices window shows them) and read at start-up; the
// last show's board; and which of its outputs the projection view follows.
// Only the DACs of the directory can be further outputs: the three library
// DACs play only as the panel's own.

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "output/projector_profile.h"
#include "output/show_outputs.h"

namespace whorlgen::ui {

class ShowSetup {
 public:
  // Reads [show] outputs; names that cannot be further outputs are passed
  // over, and so is any beyond the eighth.
  ShowSetup();

  const std::vector<std::string>& FurtherOutputs() const { return further_; }
  // Keeps the further outputs for the next Start and in the settings file.
  // Empty, or why the file could not be written (they are kept until the
  // program ends all the same).
  QString SetFurtherOutputs(std::vector<std::string> names);
  // What a run on `dacName` plays on: it first, then each further output
  // that is not it. Just `dacName` when there are none.
  std::vector<std::string> OutputsWith(const std::string& dacName) const;
  // "3 projectors" when a run on `dacName` plays on more than one, else empty.
  std::string Note(const std::string& dacName) const;

  // A show began on these outputs: the projection view follows the output
  // it followed before, if it is there, else the panel's DAC. Returns that
  // output's index.
  std::size_t Began(output::ShowBoard board, std::vector<std::string> names,
                    std::vector<output::ProjectorProfile> profiles);
  // The operator picked the output the projection view shows; its profile.
  output::ProjectorProfile View(std::size_t index);
  // The last show's board and outputs (none before the first show).
  const std::optional<output::ShowBoard>& Board() const { return board_; }
  const std::vector<std::string>& ShowOutputs() const { return names_; }

 private:
  std::vector<std::string> further_;
  std::optional<output::ShowBoard> board_;
  std::vector<std::string> names_;
  std::vector<output::ProjectorProfile> profiles_;
  std::string viewed_;  // the name the projection view follows
};

// [show] outputs as written in the settings file: the names, trimmed, each
// once, without those no further output can be; at most eight.
std::vector<std::string> FurtherOutputsFrom(const QStringList& written);

}  // namespace whorlgen::ui
