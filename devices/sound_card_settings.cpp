#include "devices/sound_card_settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <map>

namespace whorlgen::devices {

namespace {

std::string Trimmed(const std::string& text) {
  const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
  auto first = std::find_if_not(text.begin(), text.end(), isSpace);
  auto last = std::find_if_not(text.rbegin(), text.rend(), isSpace).base();
  return first < last ? std::string(first, last) : std::string();
}

std::string Lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The keys and raw values of one section.
std::map<std::string, std::string> ReadSection(const std::filesystem::path& file,
                                               const std::string& wanted) {
  std::map<std::string, std::string> values;
  std::ifstream in(file);
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    const std::string text = Trimmed(line);
    if (text.empty() || text.front() == ';' || text.front() == '#')
      continue;
    if (text.front() == '[') {
      inSection = Lowered(text) == "[" + wanted + "]";
      continue;
    }
    const std::size_t equals = text.find('=');
    if (inSection && equals != std::string::npos)
      values[Lowered(Trimmed(text.substr(0, equals)))] = Trimmed(text.substr(equals + 1));
  }
  return values;
}

std::optional<bool> ParseBool(const std::string& value) {
  const std::string word = Lowered(value);
  if (word == "true" || word == "1")
    return true;
  if (word == "false" || word == "0")
    return false;
  return std::nullopt;
}

std::optional<int> ParseInt(const std::string& value) {
  int number = 0;
  const char* end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, number);
  if (error != std::errc() || stop != end)
    return std::nullopt;
  return number;
}

char EscapedChar(char c) {
  switch (c) {
    case 'a':
      return '\a';
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case 'v':
      return '\v';
    case '0':
      return '\0';
    default:
      return c;  // \\ \" \; \, and anything unknown stand for themselves
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// A character written as \xHHHH, kept as UTF-8 like the rest of the file.
void AppendUtf8(std::string& text, unsigned code) {
  if (code < 0x80) {
    text += static_cast<char>(code);
  } else if (code < 0x800) {
    text += static_cast<char>(0xC0 | (code >> 6));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    text += static_cast<char>(0xE0 | (code >> 12));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

std::filesystem::path SettingsFilePath() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::filesystem::path base;
  if (xdg != nullptr && *xdg != '\0') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME")) {
    base = std::filesystem::path(home) / ".config";
  }
  return base / "whorlgen" / "whorlgen.conf";
}

std::string UnquoteIniValue(const std::string& raw) {
  std::string value;
  bool quoted = false;
  for (std::size_t n = 0; n < raw.size(); ++n) {
    const char c = raw[n];
    if (c == '"') {
      quoted = !quoted;
    } else if (c == '\\' && n + 1 < raw.size()) {
      const char next = raw[++n];
      if (next == 'x') {
        unsigned code = 0;
        for (int digits = 0; digits < 4 && n + 1 < raw.size() && HexDigit(raw[n + 1]) >= 0;
             ++digits) {
          code = code * 16 + static_cast<unsigned>(HexDigit(raw[++n]));
        }
        AppendUtf8(value, code);
      } else {
        value += EscapedChar(next);
      }
    } else if (!quoted && (c == ';' || c == '#')) {
      break;  // a comment after the value
    } else {
      value += c;
    }
  }
  if (!quoted)
    value = Trimmed(value);
  // QSettings marks its own typed values with '@' and writes a leading '@' as "@@".
  if (value.rfind("@@", 0) == 0)
    value.erase(0, 1);
  return value;
}

SoundCardSettings ReadSoundCardSettings(const std::filesystem::path& file) {
  SoundCardSettings settings;
  const auto section = ReadSection(file, "soundcard");
  const auto value = [&](const char* key) -> std::optional<std::string> {
    const auto found = section.find(key);
    if (found == section.end())
      return std::nullopt;
    return UnquoteIniValue(found->second);
  };
  if (const auto device = value("device"); device && !device->empty())
    settings.Device = *device;
  if (const auto layout = value("layout")) {
    const std::string word = Lowered(*layout);
    if (word == "xy")
      settings.Layout = ChannelLayout::XY;
    else if (word == "xyrgbi")
      settings.Layout = ChannelLayout::XYRGBI;
  }
  const auto flag = [&](const char* key, bool& target) {
    if (const auto text = value(key))
      target = ParseBool(*text).value_or(target);
  };
  flag("invert_x", settings.InvertX);
  flag("invert_y", settings.InvertY);
  flag("swap_xy", settings.SwapXY);
  if (const auto text = value("level_percent")) {
    if (const auto level = ParseInt(*text))
      settings.LevelPercent = std::clamp(*level, 0, 100);
  }
  return settings;
}

}  // namespace whorlgen::devices
