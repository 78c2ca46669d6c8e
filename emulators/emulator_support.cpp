#include "emulators/emulator_support.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace whorlgen::emulators {

std::optional<Options> Options::Parse(int argc, char** argv, int first,
                                      std::span<const std::string_view> known) {
  Options options;
  for (int i = first; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const std::string_view name = arg.starts_with("--") ? arg.substr(2) : std::string_view();
    if (std::find(known.begin(), known.end(), name) == known.end() || name.empty()) {
      std::fprintf(stderr, "%s %s (whorlgen-dac-emulator --help lists the options)\n",
                   name.empty() ? "unexpected argument" : "unknown option", argv[i]);
      return std::nullopt;
    }
    if (i + 1 >= argc || std::string_view(argv[i + 1]).starts_with("--")) {
      std::fprintf(stderr, "%s needs a value\n", argv[i]);
      return std::nullopt;
    }
    options.values_[std::string(name)] = argv[++i];
  }
  return options;
}

std::string Options::Text(const std::string& name, const std::string& fallback) const {
  auto found = values_.find(name);
  return found == values_.end() ? fallback : found->second;
}

std::optional<long> Options::Number(const std::string& name, long fallback, long min,
                                    long max) const {
  auto found = values_.find(name);
  if (found == values_.end())
    return fallback;
  const std::string& text = found->second;
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < min ||
      value > max) {
    std::fprintf(stderr, "--%s needs a whole number from %ld to %ld, not \"%s\"\n", name.c_str(),
                 min, max, text.c_str());
    return std::nullopt;
  }
  return value;
}

std::optional<in_addr> ParseIpv4(const std::string& text) {
  in_addr address{};
  if (inet_pton(AF_INET, text.c_str(), &address) != 1)
    return std::nullopt;
  return address;
}

namespace {
volatile std::sig_atomic_t stopRequested = 0;
void OnStopSignal(int) {
  stopRequested = 1;
}
}  // namespace

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() {
  return stopRequested != 0;
}

void Report::Set(const std::string& key, const std::string& value) {
  for (auto& line : lines_) {
    if (line.first == key) {
      line.second = value;
      return;
    }
  }
  lines_.emplace_back(key, value);
}

std::string Report::Text() const {
  std::string text;
  for (const auto& [key, value] : lines_)
    text += key + "=" + value + "\n";
  return text;
}

void Report::WriteTo(const std::string& path) const {
  if (path.empty())
    return;
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::trunc);
    out << Text();
  }
  std::rename(partial.c_str(), path.c_str());
}

bool OpenRecord(const Options& options, std::FILE*& record) {
  if (!options.Has("record"))
    return true;
  record = std::fopen(options.Text("record", "").c_str(), "ab");
  if (record == nullptr) {
    std::perror("--record");
    return false;
  }
  return true;
}

std::optional<in_addr> ListenAddress(const Options& options) {
  const std::string text = options.Text("address", "127.0.0.1");
  auto address = ParseIpv4(text);
  if (!address)
    std::fprintf(stderr, "--address needs an IPv4 address, not \"%s\"\n", text.c_str());
  return address;
}

std::string AddressText(in_addr address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

std::optional<double> ClockFactor(const Options& options) {
  if (!options.Has("clock-ppm"))
    return 1.0;
  constexpr double kMostPpm = 100000.0;
  const std::string text = options.Text("clock-ppm", "");
  char* end = nullptr;
  const double ppm = std::strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(ppm) ||
      std::fabs(ppm) > kMostPpm) {
    std::fprintf(stderr, "--clock-ppm needs a number from -100000 to 100000, not \"%s\"\n",
                 text.c_str());
    return std::nullopt;
  }
  return 1.0 + ppm * 1e-6;
}

bool OpenPlayTimes(const Options& options, std::FILE*& playTimes) {
  if (!options.Has("play-times"))
    return true;
  playTimes = std::fopen(options.Text("play-times", "").c_str(), "ab");
  if (playTimes == nullptr) {
    std::perror("--play-times");
    return false;
  }
  return true;
}

void WritePlayTime(std::FILE* playTimes, std::chrono::steady_clock::time_point at) {
  const auto ns = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count());
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i)
    bytes[i] = static_cast<unsigned char>(ns >> (8 * i));
  std::fwrite(bytes, 1, sizeof bytes, playTimes);
}

}  // namespace whorlgen::emulators
