#include "emulators/emulator_support.h"

#include <arpa/inet.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace whorlgen::emulators {

std::optional<Options> Options::Parse(int argc, char** argv, int first) {
  Options options;
  for (int i = first; i < argc; ++i) {
    std::string name = argv[i];
    if (name.rfind("--", 0) != 0) {
      std::fprintf(stderr, "unexpected argument: %s\n", argv[i]);
      return std::nullopt;
    }
    name = name.substr(2);
    const bool hasValue = i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0;
    options.values_[name] = hasValue ? argv[++i] : "";
  }
  return options;
}

std::string Options::Text(const std::string& name, const std::string& fallback) const {
  auto found = values_.find(name);
  return found == values_.end() ? fallback : found->second;
}

long Options::Number(const std::string& name, long fallback) const {
  auto found = values_.find(name);
  if (found == values_.end())
    return fallback;
  char* end = nullptr;
  const long value = std::strtol(found->second.c_str(), &end, 10);
  return end && *end == '\0' && !found->second.empty() ? value : fallback;
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
