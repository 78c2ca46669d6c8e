#include "engine/panel_bars.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace whorlgen::engine {

namespace {

// Positions and label texts as the panel's value labels define them.
constexpr std::array<PanelBar, 14> kBars = {{
    {"scrXGain", "x_gain", "X Gain", "%", 0, 100},
    {"scrYGain", "y_gain", "Y Gain", "%", 0, 100},
    {"scrXFreq", "x_freq", "X Freq", "Hz", 0, 1000, 1, 5},
    {"scrYFreq", "y_freq", "Y Freq", "Hz", 0, 1000, 1, 5},
    {"scrZFreq", "z_freq", "Z Freq", "Hz", 0, 1000, 1, 5},
    {"scrXRot", "x_rotation", "X Rotation", "degrees", -90, 90},
    {"scrYRot", "y_rotation", "Y Rotation", "degrees", -90, 90},
    {"scrRFreq", "r_freq", "R Freq", "Hz", 0, 1000},
    {"scrGFreq", "g_freq", "G Freq", "Hz", 0, 1000},
    {"scrBFreq", "b_freq", "B Freq", "Hz", 0, 1000},
    {"scrRepPoints", "repeat_points", "Repeat Pts", "points", 0, 30},
    {"scrPointsPerSec", "points_per_sec", "PPSec", "points/s", 2500, 24000, 2, 1},
    {"scrPointsPerFrame", "points_per_frame", "PPFrame", "points", 500, 16000},
    {"scrXPhase", "x_phase", "X Phase", "degrees", -90, 90},
}};

// Positions computed from a decimal number carry its representation error
// (24.1 × 5 is a hair above 120.5); within this distance of a half step the
// number counts as exactly halfway.
constexpr double kHalfStepTolerance = 1e-9;

}  // namespace

std::span<const PanelBar> PanelBars() {
  return kBars;
}

const PanelBar* FindPanelBar(std::string_view name) {
  const auto it = std::find_if(kBars.begin(), kBars.end(), [name](const PanelBar& bar) {
    return bar.EdgeName == name || bar.Name == name;
  });
  return it != kBars.end() ? &*it : nullptr;
}

const PanelBar* FindPanelBarByEdgeName(std::string_view edgeName) {
  const auto it = std::find_if(kBars.begin(), kBars.end(), [edgeName](const PanelBar& bar) {
    return bar.EdgeName == edgeName;
  });
  return it != kBars.end() ? &*it : nullptr;
}

double ShownValue(const PanelBar& bar, int position) {
  return static_cast<double>(position) * bar.Times / bar.Per;
}

bool ShownValueIsWhole(const PanelBar& bar, int position) {
  return (position * bar.Times) % bar.Per == 0;
}

int PositionForShown(const PanelBar& bar, double shown) {
  if (std::isnan(shown))
    return bar.Lowest;
  // Clamped before rounding, so no number can overflow the conversion.
  const double steps = std::clamp(shown * bar.Per / bar.Times, static_cast<double>(bar.Lowest),
                                  static_cast<double>(bar.Highest));
  const double below = std::floor(steps);
  if (std::abs(steps - below - 0.5) < kHalfStepTolerance * std::max(1.0, std::abs(steps))) {
    const int low = static_cast<int>(below);
    return low % 2 == 0 ? low : low + 1;
  }
  return static_cast<int>(std::nearbyint(steps));
}

std::string EdgeNumber(double value) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  return error == std::errc() ? std::string(text, end) : std::string("nan");
}

}  // namespace whorlgen::engine
