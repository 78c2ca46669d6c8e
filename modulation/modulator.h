#pragma once
// The modulation matrix at work. Just before each frame of a run it moves
// every targeted bar to the bar's resting value plus the sum of its rows'
// depth x source, rounded to the bar's step and kept within the bar's range,
// and carries out the rows' actions. It moves the bars through the panel's
// own door, so each change runs the bar's Change handler like a hand's.
//
// The resting value is the bar's position when the matrix was applied. A bar
// that someone else moved since the last frame (the operator, MIDI, OSC, a
// morph) rests where they put it from then on. Bypass, a new matrix and the
// end of a run put the bars back to rest.
//
// The clock is the show's playing time, so a recorded run repeats exactly
// (the music's sources aside). A run begins at show time 0: the LFOs and the
// smoothing start anew there.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/panel_bars.h"
#include "modulation/matrix.h"

namespace whorlgen::modulation {

// What the matrix may do to the panel.
class PanelDoor {
 public:
  virtual ~PanelDoor() = default;
  virtual int Position(std::string_view controlName) const = 0;
  // As a hand would move it: its Change handler runs when the position differs.
  virtual void Move(std::string_view controlName, int position) = 0;
  virtual void NextMode() = 0;  // the mode after the current one, 6 then 1
};

// The music's values at one moment, as the analysis publishes them.
struct MusicSources {
  double Low = 0.0;
  double Mid = 0.0;
  double High = 0.0;
  std::array<double, kMusicBandCount> Bands{};
  std::uint64_t Onsets = 0;  // counts since the input opened
  std::uint64_t Beats = 0;
  double Bpm = 0.0;  // 0 while no tempo is known
};

// Synced LFOs follow this tempo until one is detected.
inline constexpr double kDefaultBpm = 120.0;

class Modulator {
 public:
  const Matrix& CurrentMatrix() const { return matrix_; }
  // Puts the bars of the old rows back to rest, then takes the resting
  // values of the new rows' bars from the panel as it stands.
  void SetMatrix(const Matrix& matrix, PanelDoor& door);
  bool Active() const { return !bypass_ && !matrix_.Rows.empty(); }

  // The frame about to be built, at `showSeconds` of the run.
  void BeforeFrame(double showSeconds, const MusicSources& music, PanelDoor& door);

  bool Bypassed() const { return bypass_; }
  // On: every bar back to rest at once, and nothing moves until it is off.
  void SetBypass(bool on, PanelDoor& door);
  void PutBack(PanelDoor& door);

  // The position a bar rests at: for a bar the matrix moves, its resting
  // position; otherwise `current`. A figure saved during a run keeps these.
  int RestingPosition(std::string_view controlName, int current) const;

  // An LFO's value at the last frame of the run (for the meters); 0..3.
  double LfoValue(int index) const { return lfos_[static_cast<std::size_t>(index)].Value(); }

 private:
  enum class SourceKind { Lfo, Low, Mid, High, Band, Onset, Beat };
  struct RowState {
    SourceKind Kind = SourceKind::Lfo;
    int Index = 0;  // of the LFO or band
    int Bar = -1;   // into bars_; -1 for an action
    double Smoothed = 0.0;
    double Last = 0.0;  // the raw value at the last frame, for actions
  };
  struct BarState {
    const engine::PanelBar* Info = nullptr;
    int Rest = 0;
    int Written = 0;  // where the matrix last left it
    double Sum = 0.0;
  };

  void StartRun(const MusicSources& music);
  double RawSource(const RowState& row, const MusicSources& music) const;
  void Resolve(PanelDoor& door);
  void MoveBars(double seconds, const MusicSources& music, PanelDoor& door);

  Matrix matrix_;
  std::array<Lfo, kLfoCount> lfos_{};
  std::vector<RowState> rows_;
  std::vector<BarState> bars_;
  bool bypass_ = false;
  double lastSeconds_ = -1.0;
  std::uint64_t seenOnsets_ = 0;
  std::uint64_t seenBeats_ = 0;
  bool onsetNow_ = false;
  bool beatNow_ = false;
};

}  // namespace whorlgen::modulation
