// Streaming to an IDN unit: the start-up figure and the heaviest setting
// (16000 points at 48000 points per second) sent to whorlgen-dac-emulator
// --idn on 127.0.0.1 for ten seconds of wall time, as the run loop sends
// them. Reports this process's CPU time (the frames built, the feeder
// thread, the sockets) as a share of one core, and the underruns the unit
// counted, which must stay 0, also when the feeding thread is held still for
// 60 ms every second at 48,000 points a second.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "emulators/emulator_process.h"
#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "lasers/idn_dac.h"

using whorlgen::bench::ProcessCpuSeconds;
namespace {

using namespace whorlgen;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::map<std::string, std::string> ReadReport(const fs::path& path) {
  std::map<std::string, std::string> report;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    report[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
  return report;
}

void StreamToIdn(benchmark::State& state, std::int32_t pointsPerFrame, std::int32_t pointsPerSec,
                 std::chrono::milliseconds stallEverySecond = std::chrono::milliseconds(0)) {
  const fs::path stats =
      fs::temp_directory_path() / ("whorlgen-idn-bench-" + std::to_string(getpid()));
  emulators::EmulatorProcess emulator(WHORLGEN_DAC_EMULATOR, {"--idn", "--port", "0"}, stats);
  const std::string address = "127.0.0.1:" + ReadReport(stats)["port"];

  engine::PatternParameters params = engine::StartupParameters();
  params.PointsPerFrame = pointsPerFrame;
  params.PointsPerSec = pointsPerSec;
  engine::GeneratorState generator;
  engine::FrameData frame;
  for (auto _ : state) {
    output::DacInfo unit;
    unit.Name = "IDN bench";
    unit.Kind = "IDN";
    unit.Address = address;
    auto driver = lasers::MakeIdnDriver(unit);
    if (auto failure = driver->OpenDac(generator)) {
      state.SkipWithError(failure->c_str());
      break;
    }
    const double cpuStart = ProcessCpuSeconds();
    const auto start = Clock::now();
    auto nextStall = start + std::chrono::seconds(1);
    while (Clock::now() - start < std::chrono::seconds(10)) {
      if (stallEverySecond.count() > 0 && Clock::now() >= nextStall) {
        std::this_thread::sleep_for(stallEverySecond);
        nextStall += std::chrono::seconds(1);
      }
      engine::BuildFrame(params, generator, 2, true, frame);
      if (auto failure = driver->SendFrame(frame, pointsPerSec)) {
        state.SkipWithError(failure->c_str());
        break;
      }
    }
    driver->CloseDac();
    const double wall_s = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["cpu_share_pct"] = 100.0 * (ProcessCpuSeconds() - cpuStart) / wall_s;
  }
  const auto report = emulator.Stop();
  state.counters["underruns"] =
      std::stod(report.count("underruns") ? report.at("underruns") : "-1");
  state.counters["last_underrun_at_s"] =
      std::stod(report.count("last_underrun_at_s") ? report.at("last_underrun_at_s") : "0");
  state.counters["points_received"] =
      std::stod(report.count("points_received") ? report.at("points_received") : "0");
  fs::remove(stats);
}

void BM_IdnStartupFigure(benchmark::State& state) {
  StreamToIdn(state, 500, 15000);
}
void BM_IdnHeaviest(benchmark::State& state) {
  StreamToIdn(state, 16000, 48000);
}
void BM_IdnStalledFeeder(benchmark::State& state) {
  StreamToIdn(state, 500, 48000, std::chrono::milliseconds(60));
}
BENCHMARK(BM_IdnStartupFigure)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_IdnStalledFeeder)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_IdnHeaviest)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
