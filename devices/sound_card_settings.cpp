#include "devices/sound_card_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <map>
#include <sstream>

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

const char* KindOfFile(mode_t mode) {
  if (S_ISFIFO(mode))
    return "a pipe (FIFO)";
  if (S_ISCHR(mode))
    return "a character device";
  if (S_ISBLK(mode))
    return "a block device";
  if (S_ISDIR(mode))
    return "a folder";
  if (S_ISSOCK(mode))
    return "a socket";
  return "not a regular file";
}

std::string NotRead(const std::filesystem::path& file, const std::string& why) {
  return file.string() + " is " + why + ": its settings are not read";
}

// The whole file, when it is one to read; otherwise nothing and the reason.
std::string ReadBounded(const std::filesystem::path& file, std::string& problem) {
  problem = SettingsFileProblem(file);
  if (!problem.empty())
    return {};
  // Non-blocking, and looked at again once open: a file swapped for a pipe
  // meanwhile still cannot make the reader wait for a writer.
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return {};  // gone, or not ours to read: the defaults
  struct stat about {};
  std::string text;
  if (::fstat(fd, &about) == 0 && S_ISREG(about.st_mode)) {
    char chunk[4096];
    ssize_t got = 0;
    while (text.size() <= kMaxSettingsFileBytes && (got = ::read(fd, chunk, sizeof chunk)) > 0)
      text.append(chunk, static_cast<std::size_t>(got));
  } else {
    problem = NotRead(file, KindOfFile(about.st_mode));
  }
  ::close(fd);
  if (text.size() > kMaxSettingsFileBytes) {
    problem = NotRead(file, "larger than 1 MiB");
    text.clear();
  }
  return text;
}

// The keys and raw values of one section.
std::map<std::string, std::string> ReadSection(const std::string& text, const std::string& wanted) {
  std::map<std::string, std::string> values;
  std::istringstream in(text);
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    const std::string trimmed = Trimmed(line);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#')
      continue;
    if (trimmed.front() == '[') {
      inSection = Lowered(trimmed) == "[" + wanted + "]";
      continue;
    }
    const std::size_t equals = trimmed.find('=');
    if (inSection && equals != std::string::npos)
      values[Lowered(Trimmed(trimmed.substr(0, equals)))] = Trimmed(trimmed.substr(equals + 1));
  }
  return values;
}

// A value from the file, quoted and cut short for a message.
std::string Shown(const std::string& value) {
  constexpr std::size_t kShownChars = 40;
  std::string shown;
  for (const char c : value.substr(0, kShownChars))
    shown += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  return "\"" + shown + (value.size() > kShownChars ? "...\"" : "\"");
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

std::string SettingsFileProblem(const std::filesystem::path& file) {
  struct stat about {};
  if (::stat(file.c_str(), &about) != 0)
    return {};  // none yet: the defaults
  if (!S_ISREG(about.st_mode))
    return NotRead(file, KindOfFile(about.st_mode));
  if (static_cast<std::uintmax_t>(about.st_size) > kMaxSettingsFileBytes)
    return NotRead(file, "larger than 1 MiB");
  return {};
}

SoundCardSettings ReadSoundCardSettings(const std::filesystem::path& file) {
  SoundCardSettings settings;
  std::string fileProblem;
  const auto section = ReadSection(ReadBounded(file, fileProblem), "soundcard");
  if (!fileProblem.empty())
    settings.Problems.push_back(fileProblem);
  const auto value = [&](const char* key) -> std::optional<std::string> {
    const auto found = section.find(key);
    if (found == section.end())
      return std::nullopt;
    return UnquoteIniValue(found->second);
  };
  const auto refuse = [&](const char* key, const std::string& text, const char* wanted,
                          const char* used) {
    settings.Problems.push_back(std::string(key) + " = " + Shown(text) + " is not " + wanted +
                                ": " + used + " is used");
  };
  if (const auto device = value("device"); device && !device->empty())
    settings.Device = *device;
  if (const auto layout = value("layout")) {
    const std::string word = Lowered(*layout);
    if (word == "xy")
      settings.Layout = ChannelLayout::XY;
    else if (word == "xyrgbi")
      settings.Layout = ChannelLayout::XYRGBI;
    else
      refuse("layout", *layout, "xy or xyrgbi", "the layout chosen from the card's outputs");
  }
  const auto flag = [&](const char* key, bool& target) {
    const auto text = value(key);
    if (!text)
      return;
    if (const auto on = ParseBool(*text))
      target = *on;
    else
      refuse(key, *text, "true or false", "false");
  };
  flag("invert_x", settings.InvertX);
  flag("invert_y", settings.InvertY);
  flag("swap_xy", settings.SwapXY);
  if (const auto text = value("level_percent")) {
    const auto level = ParseInt(*text);
    if (level && *level >= 0 && *level <= 100)
      settings.LevelPercent = *level;
    else
      refuse("level_percent", *text, "a whole number from 0 to 100", "100");
  }
  return settings;
}

}  // namespace whorlgen::devices
