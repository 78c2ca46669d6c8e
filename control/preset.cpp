#include "control/preset.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <system_error>

namespace whorlgen::control {

namespace {

using nlohmann::json;

const std::string kFormat = "whorlgen-preset";
constexpr int kVersion = 1;
constexpr std::uintmax_t kMaxFileBytes = 1 << 20;

PresetReading Problem(std::string text) {
  return {std::nullopt, std::move(text)};
}

std::string Quoted(std::string_view s) {
  return "\"" + std::string(s) + "\"";
}

// Whole numbers only: a bar has no position between two steps.
std::optional<int> WholeNumber(const json& value) {
  if (value.is_number_integer()) {
    const auto n = value.get<std::int64_t>();
    if (n >= std::numeric_limits<int>::min() && n <= std::numeric_limits<int>::max())
      return static_cast<int>(n);
  }
  return std::nullopt;
}

std::string ReadControls(const json& controls, std::span<const BarRange> bars, Preset& preset) {
  if (!controls.is_object())
    return "\"controls\" is not an object of control names and positions";
  for (const auto& [name, value] : controls.items()) {
    const BarRange* bar = FindBar(bars, name);
    if (bar == nullptr)
      return "unknown control " + Quoted(name);
    const auto position = WholeNumber(value);
    if (!position)
      return "the position of " + name + " is not a whole number";
    // Refused rather than clamped: a figure that silently differs from the
    // one stored is worse than being told the file is damaged.
    if (*position != bar->Clamp(*position))
      return "the position of " + name + " (" + std::to_string(*position) + ") is outside " +
             std::to_string(bar->Lowest) + ".." + std::to_string(bar->Highest);
    preset.Controls[name] = *position;
  }
  return {};
}

std::string ReadFlag(const json& root, const char* key, std::optional<bool>& flag) {
  if (!root.contains(key))
    return {};
  if (!root[key].is_boolean())
    return Quoted(key) + " is not true or false";
  flag = root[key].get<bool>();
  return {};
}

}  // namespace

PresetReading ParsePreset(std::string_view text, std::span<const BarRange> bars) {
  const json root = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded())
    return Problem("the file is not valid JSON");
  if (!root.is_object())
    return Problem("the file holds no JSON object");
  if (!root.contains("format") || root["format"] != kFormat)
    return Problem("the file is not a Whorlgen preset (\"format\" is not \"whorlgen-preset\")");
  if (!root.contains("version") || WholeNumber(root["version"]) != kVersion)
    return Problem("the preset's version is not 1, the one this program reads");

  Preset preset;
  if (root.contains("controls")) {
    if (std::string problem = ReadControls(root["controls"], bars, preset); !problem.empty())
      return Problem(problem);
  }
  if (root.contains("opMode")) {
    const auto mode = WholeNumber(root["opMode"]);
    if (!mode || *mode < 1 || *mode > kModeCount)
      return Problem("\"opMode\" is not a mode from 1 to 6");
    preset.OpMode = *mode;
  }
  for (auto [key, flag] : {std::pair{"limitVelocity", &preset.LimitVelocity},
                           std::pair{"showDots", &preset.ShowDots}}) {
    if (std::string problem = ReadFlag(root, key, *flag); !problem.empty())
      return Problem(problem);
  }
  if (root.contains("modulation")) {
    if (!root["modulation"].is_object())
      return Problem("\"modulation\" is not an object");
    preset.Modulation = root["modulation"].dump();
  }
  return {std::move(preset), {}};
}

PresetReading ReadPresetFile(const std::filesystem::path& file, std::span<const BarRange> bars) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error))
    return Problem(file.string() + " is not a file");
  // O_NONBLOCK: should the file be swapped for a pipe after the check, the
  // open still returns at once.
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return Problem("cannot open " + file.string() + ": " + std::strerror(errno));
  std::string text;
  char chunk[4096];
  ssize_t got = 0;
  while ((got = ::read(fd, chunk, sizeof chunk)) > 0 && text.size() <= kMaxFileBytes)
    text.append(chunk, static_cast<std::size_t>(got));
  const int readError = got < 0 ? errno : 0;
  ::close(fd);
  if (readError != 0)
    return Problem("cannot read " + file.string() + ": " + std::strerror(readError));
  if (text.size() > kMaxFileBytes)
    return Problem(file.string() + " is too large for a preset");
  return ParsePreset(text, bars);
}

std::string FormatPreset(const Preset& preset) {
  json root = {{"format", kFormat}, {"version", kVersion}};
  root["controls"] = json::object();
  for (const auto& [name, position] : preset.Controls)
    root["controls"][name] = position;
  if (preset.OpMode)
    root["opMode"] = *preset.OpMode;
  if (preset.LimitVelocity)
    root["limitVelocity"] = *preset.LimitVelocity;
  if (preset.ShowDots)
    root["showDots"] = *preset.ShowDots;
  if (!preset.Modulation.empty())
    root["modulation"] = json::parse(preset.Modulation);
  return root.dump(2) + "\n";
}

std::string WritePresetFile(const std::filesystem::path& file, const Preset& preset) {
  const std::filesystem::path temporary = file.string() + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << FormatPreset(preset);
    out.flush();
    if (!out)
      return "cannot write " + temporary.string();
  }
  std::error_code error;
  std::filesystem::rename(temporary, file, error);
  if (error) {
    const std::string reason = error.message();
    std::filesystem::remove(temporary, error);
    return "cannot save " + file.string() + ": " + reason;
  }
  return {};
}

int MorphPosition(int from, int to, double progress) {
  if (progress >= 1.0)
    return to;
  const double t = std::max(progress, 0.0);
  return from + static_cast<int>(std::nearbyint((to - from) * t));
}

}  // namespace whorlgen::control
