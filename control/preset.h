#pragma once
// Presets: a figure kept in a small JSON file,
//   {"format": "whorlgen-preset", "version": 1,
//    "controls": {"scrXGain": 25, ...}, "opMode": 2,
//    "limitVelocity": true, "showDots": false, "modulation": {...}}
// with bar positions by control name. Keys left out keep the panel's current
// value. A file that is not such a preset is refused whole, with the reason.

#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "control/command.h"

namespace whorlgen::control {

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
  std::string problem;  // set when preset is empty
};

PresetReading ParsePreset(std::string_view text, std::span<const BarRange> bars);
// Reads only a regular file of reasonable size, so a device or a pipe named
// by a remote sender cannot stall the panel.
PresetReading ReadPresetFile(const std::filesystem::path& file, std::span<const BarRange> bars);

std::string FormatPreset(const Preset& preset);
// Writes through a temporary file beside it, so a failed write leaves any
// earlier preset of that name whole. Empty, or the reason it failed.
std::string WritePresetFile(const std::filesystem::path& file, const Preset& preset);

// A bar's position part of the way (progress 0..1) from one figure to
// another; progress 1 gives exactly the destination.
int MorphPosition(int from, int to, double progress);

}  // namespace whorlgen::control
