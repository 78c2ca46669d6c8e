#pragma once
// The operator's choice of sound card, read from the [soundcard] section of
// the per-user settings file each time a run opens the card. The panel's
// Devices window writes that file through QSettings; this reader needs no Qt,
// so the sound-card library can stay a plain shared object.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace whorlgen::devices {

// Which signals go to the card, in channel order. "xy": left X, right Y.
// "xyrgbi": X, Y, red, green, blue, intensity.
enum class ChannelLayout { XY, XYRGBI };

struct SoundCardSettings {
  std::string Device = "default";       // an ALSA PCM name
  std::optional<ChannelLayout> Layout;  // unset: decided from the card's outputs
  bool InvertX = false;
  bool InvertY = false;
  bool SwapXY = false;
  int LevelPercent = 100;  // 0..100, scales every channel
  // What in the file was refused, in words, each with what is used instead:
  // a value that is not one of its key's, or a file that is not read at all.
  std::vector<std::string> Problems;
};

// The settings file is read only when it is a regular file of at most this
// size: a pipe or a device in its place must not stall or swamp the reader.
inline constexpr std::uintmax_t kMaxSettingsFileBytes = 1 << 20;

// Empty when `file` is a regular file within that size, or does not exist;
// otherwise why it is not read.
std::string SettingsFileProblem(const std::filesystem::path& file);

// $XDG_CONFIG_HOME/whorlgen/whorlgen.conf, or ~/.config/whorlgen/whorlgen.conf
// when the variable is unset or empty.
std::filesystem::path SettingsFilePath();

// The [soundcard] section of the INI file at `file`; the defaults for a key
// that is missing or refused, and for a file that does not exist or is not read.
SoundCardSettings ReadSoundCardSettings(const std::filesystem::path& file);

// One INI value as QSettings writes it: surrounding quotes removed and its
// backslash escapes undone ("\"a,b\"" gives "a,b", "@@x" gives "@x").
std::string UnquoteIniValue(const std::string& raw);

}  // namespace whorlgen::devices
