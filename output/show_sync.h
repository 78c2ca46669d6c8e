#pragma once
// Keeps the outputs of a show playing the same frame at the same moment.
//
// Every output plays at its own pace: its buffer holds more or less playing
// time, and its clock runs a little fast or slow (tens of ppm). Each output
// tells when a frame begins to play; against the show's own timeline (the
// frames' playing times added up) that gives its offset. The output that
// plays latest sets the pace; every other output is given dark playing time
// before its next frame until it plays as late, so no output ever has to
// skip or repeat part of the figure. Dark time already given and not yet
// seen in a measurement is counted, so nothing is given twice.
//
// Plain arithmetic on seconds, no threads: the show's driver calls it under
// its own lock.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace whorlgen::output {

struct ShowSyncSettings {
  // Differences smaller than this are left alone: the measurements jitter
  // by about as much.
  double DeadbandSec = 0.001;
  // Dark time before one frame at most, should a measurement be far off.
  double MostFillerSec = 1.0;
  // An output's offset is the median of its last few measurements.
  std::size_t MedianOf = 5;
};

class ShowSync {
 public:
  explicit ShowSync(std::size_t outputs, ShowSyncSettings settings = {});

  // Frame `serial` (0, 1, 2, ... in order) plays for `seconds`.
  void FrameMade(std::uint64_t serial, double seconds);
  // `output` begins frame `serial` at `startsAtSec` (steady clock, seconds).
  // Frames too old to be on the timeline any more are passed over.
  void Measured(std::size_t output, std::uint64_t serial, double startsAtSec);
  // How much dark time `output` should get before its next frame, in
  // seconds: 0 unless it plays earlier than the latest output.
  double FillerDue(std::size_t output) const;
  // What `output` was given before frame `serial` (the due time rounded to
  // whole points).
  void Gave(std::size_t output, std::uint64_t serial, double seconds);
  // The output left the show, or joins it again: it is measured afresh.
  void Forget(std::size_t output);
  // An output that cannot keep up (it drops frames) does not set the pace.
  void SetLagging(std::size_t output, bool lagging);

  // How far `output` plays ahead of the latest output, once measured.
  std::optional<double> AheadSec(std::size_t output) const;
  // The largest difference between two measured outputs' offsets.
  double SpreadSec() const;

 private:
  struct Given {
    std::uint64_t Serial;
    double TotalSec;  // all dark time given up to and including this frame
  };
  struct Output {
    std::deque<double> Natural;  // offsets without the dark time given, newest last
    std::deque<Given> Gifts;
    double GivenSec = 0.0;
    bool Lagging = false;
  };

  std::optional<double> StartOnTimeline(std::uint64_t serial) const;
  // The offset the output's next frame will play at, once measured.
  std::optional<double> Expected(const Output& output) const;
  std::optional<double> Latest() const;

  ShowSyncSettings settings_;
  std::vector<Output> outputs_;
  std::deque<double> timeline_;  // start of each frame kept, in show seconds
  std::uint64_t firstKept_ = 0;  // the serial of timeline_.front()
  double nextStartSec_ = 0.0;
};

}  // namespace whorlgen::output
