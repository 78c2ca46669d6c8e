#pragma once
// What every device emulator shares: the command line, the end on SIGINT or
// SIGTERM, and the report of what arrived (key=value lines on stdout at the
// end, and in a stats file kept current while the emulator runs).

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace whorlgen::emulators {

// "--name value" pairs after the device flag.
class Options {
 public:
  // Returns nullopt and prints the reason when an argument is not one of
  // the `known` options or has no value: a typing mistake is not run as a
  // default.
  static std::optional<Options> Parse(int argc, char** argv, int first,
                                      std::span<const std::string_view> known);
  std::string Text(const std::string& name, const std::string& fallback) const;
  // The option's whole number, `fallback` when it is absent; nullopt, the
  // reason printed, when it is not a whole number from min to max.
  std::optional<long> Number(const std::string& name, long fallback, long min, long max) const;
  bool Has(const std::string& name) const { return values_.count(name) > 0; }

 private:
  std::map<std::string, std::string> values_;
};

// The largest count an option may give (points, samples): past anything a
// run reaches.
inline constexpr long kMaxCount = 1L << 40;

// An IPv4 address in dotted form; nullopt when it is not one.
std::optional<in_addr> ParseIpv4(const std::string& text);

// True once SIGINT or SIGTERM arrived; InstallStopHandlers sets that up.
void InstallStopHandlers();
bool StopRequested();

// Opens the file named by --record for appending, or leaves `record` null
// when there is no such option. False (the reason printed) when it cannot.
bool OpenRecord(const Options& options, std::FILE*& record);

// --address: where the unit listens, 127.0.0.1 when absent; several units
// can run at once on 127.0.0.2, 127.0.0.3, ... Nullopt (the reason printed)
// for text that is no IPv4 address.
std::optional<in_addr> ListenAddress(const Options& options);
std::string AddressText(in_addr address);

// --clock-ppm N: the unit's own crystal runs N parts per million fast (or
// slow, below 0) against this machine's clock, so it plays that much faster.
// Values up to +/-100000 are taken, so a test can run hours of drift in
// seconds. The factor its playing speed is scaled by (1.0001 for 100), or
// nullopt (the reason printed).
std::optional<double> ClockFactor(const Options& options);

// --play-times FILE: the moment each played point (sample) began, appended
// as this machine's monotonic clock in nanoseconds, 8 bytes little-endian,
// one per point in playing order. Same conventions as OpenRecord.
bool OpenPlayTimes(const Options& options, std::FILE*& playTimes);
void WritePlayTime(std::FILE* playTimes, std::chrono::steady_clock::time_point at);

// Parses the options, configures the unit and runs it until SIGINT or
// SIGTERM; the emulator's exit status (2 for a bad command line).
template <typename Unit>
int RunUnit(int argc, char** argv, int firstOption) {
  auto options = Options::Parse(argc, argv, firstOption, Unit::kOptionNames);
  if (!options)
    return 2;
  Unit unit;
  if (!unit.Configure(*options))
    return 2;
  InstallStopHandlers();
  return unit.Run();
}

// Key=value lines in a fixed order.
class Report {
 public:
  void Set(const std::string& key, const std::string& value);
  void Set(const std::string& key, std::int64_t value) { Set(key, std::to_string(value)); }
  std::string Text() const;
  // Written whole to a temporary file and renamed, so a reader never sees half.
  void WriteTo(const std::string& path) const;

 private:
  std::vector<std::pair<std::string, std::string>> lines_;
};

}  // namespace whorlgen::emulators
