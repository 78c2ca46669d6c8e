// The JACK DAC for 30 s on a JACK server's dummy driver at 48 kHz (started
// here, stopped at the end), at the start-up values. Reports this process's
// CPU time (the frames and their resampling on the run's thread, and the JACK client's
// thread) as a share of one core, the frames a second, the server's xruns
// and the cycles that found the queue dry. Targets: under 5 % of one core,
// zero xruns.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>

#include "audio/jack_dac.h"
#include "bench/bench_support.h"
#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "tests/jack_server.h"

using whorlgen::bench::ProcessCpuSeconds;
namespace {

using namespace whorlgen;
using Clock = std::chrono::steady_clock;

void BM_JackAtStartupValuesFor30s(benchmark::State& state) {
  testing::DummyJackServer server;
  if (const std::string why = server.Start(48000, 1024); !why.empty()) {
    state.SkipWithError(why.c_str());
    return;
  }
  const engine::PatternParameters params = engine::StartupParameters();
  engine::GeneratorState generator;
  engine::FrameData frame;
  for (auto _ : state) {
    audio::JackDacFamily family;
    const auto devices = family.Devices();
    if (devices.empty()) {
      state.SkipWithError("the JACK server is not listed");
      return;
    }
    auto driver = family.MakeDriver(devices.front());
    if (auto failure = driver->OpenDac(generator)) {
      state.SkipWithError(failure->c_str());
      return;
    }
    std::int64_t frames = 0;
    const double cpuStart = ProcessCpuSeconds();
    const Clock::time_point start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(30)) {
      engine::BuildFrame(params, generator, 2, true, frame);
      if (auto failure = driver->SendFrame(frame, params.PointsPerSec)) {
        state.SkipWithError(failure->c_str());
        return;
      }
      ++frames;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const audio::JackRunCounts counts = audio::LastJackRunCounts();
    driver->CloseDac();
    state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
    state.counters["frames_per_s"] = static_cast<double>(frames) / wall;
    state.counters["xruns"] = static_cast<double>(counts.Xruns);
    state.counters["underruns"] = static_cast<double>(counts.Underruns);
  }
}
BENCHMARK(BM_JackAtStartupValuesFor30s)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
