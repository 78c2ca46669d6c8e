#include "control/preset.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

#include "control/panel_values.h"
#include "control/printable.h"

namespace whorlgen::control {

namespace {

using nlohmann::json;

const std::string kFormat = "whorlgen-preset";
constexpr int kPositionsVersion = 1;  // bar positions by control name
constexpr int kVersion = 2;           // the labels' values by readable name
constexpr std::size_t kShownPathChars = 120;

PresetReading Problem(std::string text) {
  return {std::nullopt, std::move(text)};
}

std::string Quoted(std::string_view s) {
  return "\"" + Printable(s, kShownNameChars) + "\"";
}

std::string ShownPath(const std::filesystem::path& file) {
  return Printable(file.string(), kShownPathChars);
}

// Walks the text once without building anything and stops at the first
// object or array nested deeper than a preset can be: a file of nested
// brackets costs no more than reading it.
class NestingLimit : public nlohmann::json_sax<json> {
 public:
  bool TooDeep() const { return tooDeep_; }

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool key(string_t&) override { return true; }
  bool start_object(std::size_t) override { return Enter(); }
  bool start_array(std::size_t) override { return Enter(); }
  bool end_object() override { return Leave(); }
  bool end_array() override { return Leave(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool Enter() {
    tooDeep_ = ++depth_ > kMaxPresetNesting;
    return !tooDeep_;
  }
  bool Leave() {
    --depth_;
    return true;
  }

  int depth_ = 0;
  bool tooDeep_ = false;
};

// Whole numbers only: a version 1 position has no value between two steps.
std::optional<int> WholeNumber(const json& value) {
  if (value.is_number_integer()) {
    const auto n = value.get<std::int64_t>();
    if (n >= std::numeric_limits<int>::min() && n <= std::numeric_limits<int>::max())
      return static_cast<int>(n);
  }
  return std::nullopt;
}

// Version 1: positions by control name, refused outside the bar's range.
std::string ReadPositions(const json& controls, Preset& preset) {
  for (const auto& [name, value] : controls.items()) {
    const PanelBar* bar = FindPanelBar(name);
    if (bar == nullptr || bar->Name != name)
      return "unknown control " + Quoted(name);
    const auto position = WholeNumber(value);
    if (!position)
      return "the position of " + Quoted(name) + " is not a whole number";
    if (*position < bar->Lowest || *position > bar->Highest)
      return "the position of " + Quoted(name) + " (" + std::to_string(*position) +
             ") is outside " + std::to_string(bar->Lowest) + ".." + std::to_string(bar->Highest);
    preset.Controls[std::string(bar->Name)] = *position;
  }
  return {};
}

// Version 2: the labels' values, taken to the nearest position as from OSC.
std::string ReadShownValues(const json& controls, Preset& preset) {
  for (const auto& [name, value] : controls.items()) {
    const PanelBar* bar = FindPanelBar(name);
    if (bar == nullptr)
      return "unknown control " + Quoted(name);
    if (!value.is_number())
      return "the value of " + Quoted(name) + " is not a number";
    preset.Controls[std::string(bar->Name)] = PositionForShown(*bar, value.get<double>());
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

PresetReading ParsePreset(std::string_view text) {
  NestingLimit nesting;
  const bool wellFormed = json::sax_parse(text, &nesting);
  if (nesting.TooDeep())
    return Problem("the file is nested more than " + std::to_string(kMaxPresetNesting) +
                   " levels deep: not a preset");
  if (!wellFormed)
    return Problem("the file is not valid JSON");
  const json root = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded())
    return Problem("the file is not valid JSON");
  if (!root.is_object())
    return Problem("the file holds no JSON object");
  if (!root.contains("format") || root["format"] != kFormat)
    return Problem("the file is not a Whorlgen preset (\"format\" is not \"whorlgen-preset\")");
  const auto version = root.contains("version") ? WholeNumber(root["version"]) : std::nullopt;
  if (version != kPositionsVersion && version != kVersion)
    return Problem("the preset's version is not 1 or 2, the ones this program reads");

  Preset preset;
  if (root.contains("controls")) {
    const json& controls = root["controls"];
    if (!controls.is_object())
      return Problem("\"controls\" is not an object of control names and values");
    std::string problem = version == kPositionsVersion ? ReadPositions(controls, preset)
                                                       : ReadShownValues(controls, preset);
    if (!problem.empty())
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

PresetReading ReadPresetFile(const std::filesystem::path& file) {
  // Looked at before it is opened: opening a device can itself do something.
  struct stat about {};
  if (::stat(file.c_str(), &about) != 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      return Problem(ShownPath(file) + " not found");
    return Problem("cannot open " + ShownPath(file) + ": " + std::strerror(errno));
  }
  if (!S_ISREG(about.st_mode))
    return Problem(ShownPath(file) + " is not a file");
  // O_NONBLOCK and a second look through the open file: should it have been
  // swapped for a pipe meanwhile, nothing waits for a writer.
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return Problem("cannot open " + ShownPath(file) + ": " + std::strerror(errno));
  if (::fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) {
    ::close(fd);
    return Problem(ShownPath(file) + " is not a file");
  }
  std::string text;
  char chunk[4096];
  ssize_t got = 0;
  while (text.size() <= kMaxPresetFileBytes && (got = ::read(fd, chunk, sizeof chunk)) > 0)
    text.append(chunk, static_cast<std::size_t>(got));
  const int readError = got < 0 ? errno : 0;
  ::close(fd);
  if (readError != 0)
    return Problem("cannot read " + ShownPath(file) + ": " + std::strerror(readError));
  if (text.size() > kMaxPresetFileBytes)
    return Problem(ShownPath(file) + " is too large for a preset (more than 1 MiB)");
  return ParsePreset(text);
}

std::string FormatPreset(const Preset& preset) {
  json root = {{"format", kFormat}, {"version", kVersion}};
  root["controls"] = json::object();
  for (const auto& [name, position] : preset.Controls) {
    const PanelBar* bar = FindPanelBar(name);
    if (bar == nullptr)
      continue;
    json& value = root["controls"][std::string(bar->EdgeName)];
    if (ShownValueIsWhole(*bar, position))
      value = position * bar->Times / bar->Per;
    else
      value = ShownValue(*bar, position);
  }
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
      return "cannot write " + ShownPath(temporary);
  }
  std::error_code error;
  std::filesystem::rename(temporary, file, error);
  if (error) {
    const std::string reason = error.message();
    std::filesystem::remove(temporary, error);
    return "cannot save " + ShownPath(file) + ": " + reason;
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
