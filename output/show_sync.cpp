#include "output/show_sync.h"

#include <algorithm>

namespace whorlgen::output {

namespace {
// Frames kept on the timeline and dark gifts remembered: far more than
// ever go out between a frame and its measurement.
constexpr std::size_t kFramesKept = 4096;

double Median(std::deque<double> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}
}  // namespace

ShowSync::ShowSync(std::size_t outputs, ShowSyncSettings settings)
    : settings_(settings), outputs_(outputs) {}

void ShowSync::FrameMade(std::uint64_t serial, double seconds) {
  if (timeline_.empty())
    firstKept_ = serial;
  timeline_.push_back(nextStartSec_);
  nextStartSec_ += seconds;
  if (timeline_.size() > kFramesKept) {
    timeline_.pop_front();
    ++firstKept_;
  }
}

std::optional<double> ShowSync::StartOnTimeline(std::uint64_t serial) const {
  if (serial < firstKept_ || serial - firstKept_ >= timeline_.size())
    return std::nullopt;
  return timeline_[serial - firstKept_];
}

void ShowSync::Measured(std::size_t index, std::uint64_t serial, double startsAtSec) {
  const std::optional<double> showSec = StartOnTimeline(serial);
  if (!showSec)
    return;
  Output& output = outputs_[index];
  // The dark time given up to this frame is in the measurement; what is
  // natural to the output is what is left.
  double givenSec = 0.0;
  for (const Given& given : output.Gifts) {
    if (given.Serial > serial)
      break;
    givenSec = given.TotalSec;
  }
  output.Natural.push_back(startsAtSec - *showSec - givenSec);
  if (output.Natural.size() > settings_.MedianOf)
    output.Natural.pop_front();
}

std::optional<double> ShowSync::Expected(const Output& output) const {
  if (output.Natural.empty())
    return std::nullopt;
  return Median(output.Natural) + output.GivenSec;
}

std::optional<double> ShowSync::Latest() const {
  std::optional<double> latest;
  for (const Output& output : outputs_) {
    const std::optional<double> expected = Expected(output);
    if (expected && !output.Lagging && (!latest || *expected > *latest))
      latest = expected;
  }
  return latest;
}

double ShowSync::FillerDue(std::size_t index) const {
  const std::optional<double> ahead = AheadSec(index);
  if (!ahead || *ahead < settings_.DeadbandSec)
    return 0.0;
  return std::min(*ahead, settings_.MostFillerSec);
}

void ShowSync::Gave(std::size_t index, std::uint64_t serial, double seconds) {
  if (seconds <= 0.0)
    return;
  Output& output = outputs_[index];
  output.GivenSec += seconds;
  output.Gifts.push_back({serial, output.GivenSec});
  if (output.Gifts.size() > kFramesKept)
    output.Gifts.pop_front();
}

void ShowSync::Forget(std::size_t index) {
  outputs_[index] = Output{};
}

void ShowSync::SetLagging(std::size_t index, bool lagging) {
  outputs_[index].Lagging = lagging;
}

std::optional<double> ShowSync::AheadSec(std::size_t index) const {
  const std::optional<double> expected = Expected(outputs_[index]);
  const std::optional<double> latest = Latest();
  if (!expected || !latest)
    return std::nullopt;
  return std::max(*latest - *expected, 0.0);
}

double ShowSync::SpreadSec() const {
  std::optional<double> earliest, latest;
  for (const Output& output : outputs_) {
    const std::optional<double> expected = Expected(output);
    if (!expected || output.Lagging)
      continue;
    earliest = earliest ? std::min(*earliest, *expected) : *expected;
    latest = latest ? std::max(*latest, *expected) : *expected;
  }
  return earliest ? *latest - *earliest : 0.0;
}

}  // namespace whorlgen::output
