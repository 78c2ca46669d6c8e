#include "modulation/bar_table.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace whorlgen::modulation {

namespace {

// Positions as the bars take them; the label shows the position itself,
// except for the figure frequencies (position / 5 Hz) and the points per
// second (2 x position).
constexpr BarInfo kBars[] = {
    {"x_gain", "scrXGain", 0, 100, 1.0},
    {"y_gain", "scrYGain", 0, 100, 1.0},
    {"x_freq", "scrXFreq", 0, 1000, 5.0},
    {"y_freq", "scrYFreq", 0, 1000, 5.0},
    {"z_freq", "scrZFreq", 0, 1000, 5.0},
    {"x_rot", "scrXRot", -90, 90, 1.0},
    {"y_rot", "scrYRot", -90, 90, 1.0},
    {"r_freq", "scrRFreq", 0, 1000, 1.0},
    {"g_freq", "scrGFreq", 0, 1000, 1.0},
    {"b_freq", "scrBFreq", 0, 1000, 1.0},
    {"rep_points", "scrRepPoints", 0, 30, 1.0},
    {"points_per_sec", "scrPointsPerSec", 2500, 24000, 0.5},
    {"points_per_frame", "scrPointsPerFrame", 500, 16000, 1.0},
    {"x_phase", "scrXPhase", -90, 90, 1.0},
};

}  // namespace

std::span<const BarInfo> Bars() {
  return kBars;
}

const BarInfo* FindBar(std::string_view name) {
  const auto it = std::find_if(std::begin(kBars), std::end(kBars),
                               [name](const BarInfo& bar) { return bar.Name == name; });
  return it != std::end(kBars) ? &*it : nullptr;
}

double ShownValue(const BarInfo& bar, int position) {
  return position / bar.PositionsPerUnit;
}

int PositionFor(const BarInfo& bar, double shownValue) {
  assert(!std::isnan(shownValue));
  // Clamped before rounding, so no value can overflow the conversion.
  const double position =
      std::clamp(shownValue * bar.PositionsPerUnit, static_cast<double>(bar.LowestPosition),
                 static_cast<double>(bar.HighestPosition));
  return static_cast<int>(std::nearbyint(position));
}

}  // namespace whorlgen::modulation
