#pragma once
// Presets: a figure kept in a small JSON file,
//   {"format": "whorlgen-preset", "version": 2,
//    "controls": {"x_gain": 25, "x_freq": 24.6, "points_per_sec": 15000, ...},
//    "opMode": 2, "limitVelocity": true, "showDots": false, "modulation": {...}}
// with each bar's value as its label shows it, by the bar's readable name (or
// its control name). A value beyond a bar's range is taken to its nearer end
// and one between two steps to the nearest, as from OSC. Version 1 files,
// which held bar positions by control name ("scrXFreq": 123), are still read
// and converted; files are written as version 2. Keys left out keep the
// panel's current value. A file that is not such a preset is refused whole,
// with the reason.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "control/command.h"

namespace whorlgen::control {

// The figure as the panel holds it: bar positions by control name.
struct Preset {
  std::map<std::string, int> Controls;  // control name -> bar position
  std::optional<int> OpMode;            // 1..6
  std::optional<bool> LimitVelocity;
  std::optional<bool> ShowDots;
  // The "modulation" object as JSON text, read and checked by the matrix's
  // own reader; empty when the preset has none.
  std::string Modulation{};

  friend bool operator==(const Preset&, const Preset&) = default;
};

struct PresetReading {
  std::optional<Preset> preset;
  std::string problem;  // set when preset is empty; fit to show
};

inline constexpr std::uintmax_t kMaxPresetFileBytes = 1 << 20;
// Objects and arrays inside each other; a preset needs two.
inline constexpr int kMaxPresetNesting = 8;

PresetReading ParsePreset(std::string_view text);
// Reads only a regular file of at most kMaxPresetFileBytes, so a device or a
// pipe named by a remote sender cannot stall the reader.
PresetReading ReadPresetFile(const std::filesystem::path& file);

std::string FormatPreset(const Preset& preset);
// Writes through a temporary file beside it, so a failed write leaves any
// earlier preset of that name whole. Empty, or the reason it failed.
std::string WritePresetFile(const std::filesystem::path& file, const Preset& preset);

// A bar's position part of the way (progress 0..1) from one figure to
// another; progress 1 gives exactly the destination.
int MorphPosition(int from, int to, double progress);

}  // namespace whorlgen::control
