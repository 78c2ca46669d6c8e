// How light the program stays while a device paces its output. Each run
// builds the start-up figure and sends it to one of our emulated devices for
// a fixed stretch of wall time, as the run loop does, and reports the whole
// process's CPU time (user + system, getrusage) as a share of one core.
// Target: under 5 % for "EZLase" at the start-up values.
//
// Also: what the sound-card library spends turning a frame into audio.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "devices/audio_samples.h"
#include "devices/dac_api.h"
#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "output/dac_driver.h"
#include "output/device_library.h"

namespace {

using namespace whorlgen;
using Clock = std::chrono::steady_clock;

std::chrono::duration<double> ProcessCpuTime() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return std::chrono::duration<double>(seconds(usage.ru_utime) + seconds(usage.ru_stime));
}

output::DeviceLibraries& Libraries() {
  static output::DeviceLibraries libraries;  // the program's own directory, like the program
  return libraries;
}

void PacedRun(benchmark::State& state, const std::string& dacName, std::chrono::seconds length) {
  const engine::PatternParameters params = engine::StartupParameters();
  engine::GeneratorState generator;
  engine::FrameData frame;
  output::DacState dac;
  for (auto _ : state) {
    auto driver = output::SelectDacDriver(dacName, dac, Libraries());
    if (auto failure = driver->OpenDac(generator)) {
      state.SkipWithError(failure->c_str());
      return;
    }
    std::int64_t frames = 0;
    const auto cpuStart = ProcessCpuTime();
    const Clock::time_point start = Clock::now();
    while (Clock::now() - start < length) {
      engine::BuildFrame(params, generator, 2, true, frame);
      if (auto failure = driver->SendFrame(frame, params.PointsPerSec)) {
        state.SkipWithError(failure->c_str());
        return;
      }
      ++frames;
    }
    const std::chrono::duration<double> wall = Clock::now() - start;
    const auto cpu = ProcessCpuTime() - cpuStart;
    driver->CloseDac();
    state.counters["cpu_percent_of_core"] = 100.0 * cpu.count() / wall.count();
    state.counters["frames_per_s"] = static_cast<double>(frames) / wall.count();
  }
}

void BM_EzLaseAtStartupValuesFor10s(benchmark::State& state) {
  PacedRun(state, "EZLase", std::chrono::seconds(10));
}
BENCHMARK(BM_EzLaseAtStartupValuesFor10s)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_RiyaAtStartupValuesFor5s(benchmark::State& state) {
  PacedRun(state, "RIYA", std::chrono::seconds(5));
}
BENCHMARK(BM_RiyaAtStartupValuesFor5s)->Iterations(1)->Unit(benchmark::kMillisecond);

// "SoundCard" on a machine without a card: the library plays each frame
// silently in its own time. Target: 30 frames a second (500 points at 15000
// points per second) within 10 %, and under 5 % of one core.
void BM_SoundCardWithoutCardFor10s(benchmark::State& state) {
  const std::string home = "/tmp/whorlgen-bench-nocard-" + std::to_string(getpid());
  std::filesystem::create_directories(home);
  std::ofstream(home + "/.asoundrc") << "pcm.!default { type hw card 31 }\n";
  const char* savedHome = std::getenv("HOME");
  const std::string saved = savedHome != nullptr ? savedHome : "";
  setenv("HOME", home.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  PacedRun(state, "SoundCard", std::chrono::seconds(10));
  setenv("HOME", saved.c_str(), 1);
  std::filesystem::remove_all(home);
}
BENCHMARK(BM_SoundCardWithoutCardFor10s)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_PointsToSamples(benchmark::State& state) {
  engine::PatternParameters params = engine::StartupParameters();
  params.PointsPerFrame = static_cast<std::int32_t>(state.range(0));
  engine::GeneratorState generator;
  engine::FrameData frame;
  engine::BuildFrame(params, generator, 2, true, frame);
  const devices::SampleLayout layout;  // all six channels
  std::vector<std::int16_t> samples(frame.FrameBuffer.size() * layout.Channels);
  const auto* points = reinterpret_cast<const DacPoint*>(frame.FrameBuffer.data());
  for (auto _ : state) {
    devices::PointsToSamples(points, frame.FrameBuffer.size(), layout, samples.data());
    benchmark::DoNotOptimize(samples.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PointsToSamples)->Arg(500)->Arg(16000);

}  // namespace
