#include "emulators/emulator_support.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
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

}  // namespace whorlgen::emulators
