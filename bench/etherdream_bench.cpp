// Streaming to the Ether Dream emulator over 127.0.0.1, as a run does: build
// a frame, hand it to the back-end, repeat. Reports the emulator's underruns
// and NAKs, this process's CPU time as a share of one core, and how long a parameter change takes
// to leave the program (from the change, made between two frames as a bar's Change handler does, to
// the first point of the frame that carries it going out to the unit). The stall case holds the
// feeding thread still for 60 ms every second, as a busy computer would: the unit must still never
// run dry.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "emulators/emulator_process.h"
#include "engine/frame_generator.h"
#include "lasers/etherdream_dac.h"

using whorlgen::bench::ProcessCpuSeconds;
namespace {

using namespace whorlgen;
using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// This process alone (the frames built, the I/O thread), not the emulator.

// Arguments: points per frame, points per second, seconds of streaming,
// milliseconds the feeding thread is held still every second.
void BM_EtherDreamStream(benchmark::State& state) {
  const auto pointsPerFrame = static_cast<std::int32_t>(state.range(0));
  const auto pointsPerSec = static_cast<std::int32_t>(state.range(1));
  const auto duration = std::chrono::seconds(state.range(2));
  const auto stall = std::chrono::milliseconds(state.range(3));
  const std::uint16_t port = emulators::FreeLoopbackPort(SOCK_STREAM);
  const auto stats = std::filesystem::temp_directory_path() /
                     ("whorlgen-etherdream-bench-" + std::to_string(getpid()));
  emulators::EmulatorProcess unit(WHORLGEN_DAC_EMULATOR,
                                  {"--etherdream", "--port", std::to_string(port)}, stats);
  if (!unit.Started()) {
    state.SkipWithError("the emulator did not start");
    return;
  }
  lasers::EtherDreamTarget target;
  target.Name = "Ether Dream bench";
  target.Address.sin_family = AF_INET;
  target.Address.sin_port = htons(port);
  target.Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  std::vector<double> latencies_ms;
  std::int64_t frames = 0;
  // Frames whose first point has gone out to the unit.
  std::atomic<std::uint64_t> framesOnWire{0};
  target.OnFramesOnWire = [&framesOnWire](std::uint64_t count) { framesOnWire += count; };
  for (auto _ : state) {
    framesOnWire = 0;
    lasers::EtherDreamDriver driver(target);
    engine::PatternParameters params = engine::StartupParameters();
    params.PointsPerFrame = pointsPerFrame;
    params.PointsPerSec = pointsPerSec;
    engine::GeneratorState generator;
    engine::FrameData frame;
    if (auto failure = driver.OpenDac(generator)) {
      state.SkipWithError(failure->c_str());
      return;
    }
    // A watcher notes when the frame after each change starts leaving.
    std::atomic<std::uint64_t> awaited{0};
    std::atomic<Clock::time_point::rep> changedAt{0};
    std::atomic<bool> done{false};
    double watcherCpu_s = 0.0;  // the measuring is no part of the cost measured
    std::thread watcher([&] {
      while (!done) {
        const std::uint64_t frame = awaited;
        if (frame != 0 && framesOnWire >= frame) {
          const auto since = Clock::now().time_since_epoch().count() - changedAt;
          latencies_ms.push_back(static_cast<double>(since) / 1e6);
          awaited = 0;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      watcherCpu_s = ThreadCpuSeconds();
    });
    const double cpuStart = ProcessCpuSeconds();
    const auto start = Clock::now();
    const auto end = start + duration;
    auto nextStall = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < end) {
      if (stall.count() > 0 && Clock::now() >= nextStall) {
        std::this_thread::sleep_for(stall);
        nextStall += std::chrono::seconds(1);
      }
      engine::BuildFrame(params, generator, 2, true, frame);
      if (auto failure = driver.SendFrame(frame, params.PointsPerSec)) {
        state.SkipWithError(failure->c_str());
        break;
      }
      ++frames;
      if (frames % 10 == 0 && awaited == 0) {  // a bar's Change between frames
        params.XGain = params.XGain == 512 ? 500 : 512;
        changedAt = Clock::now().time_since_epoch().count();
        awaited = static_cast<std::uint64_t>(frames) + 1;
      }
    }
    const double wall_s = std::chrono::duration<double>(Clock::now() - start).count();
    done = true;
    watcher.join();
    state.counters["cpu_share_pct"] =
        100.0 * (ProcessCpuSeconds() - cpuStart - watcherCpu_s) / wall_s;
    if (auto failure = driver.CloseDac())
      state.SkipWithError(failure->c_str());
  }
  auto report = unit.Stop();
  std::filesystem::remove(stats);
  state.counters["underruns"] = std::stod(report["underruns"]);
  state.counters["underruns_in_own_pause"] = std::stod(report["underruns_in_own_pause"]);
  state.counters["naks"] = std::stod(report["naks"]);
  state.counters["points_played"] = std::stod(report["points_played"]);
  state.counters["frames"] = static_cast<double>(frames);
  if (!latencies_ms.empty()) {
    std::sort(latencies_ms.begin(), latencies_ms.end());
    state.counters["latency_median_ms"] = latencies_ms[latencies_ms.size() / 2];
    state.counters["latency_max_ms"] = latencies_ms.back();
    state.counters["frame_play_ms"] = 1000.0 * pointsPerFrame / pointsPerSec;
  }
}

// The start-up figure for ten seconds, the heaviest setting for thirty, and
// the start-up figure at 48,000 points a second with a stalled feeder.
BENCHMARK(BM_EtherDreamStream)
    ->Args({500, 15000, 10, 0})
    ->Args({16000, 48000, 30, 0})
    ->Args({500, 48000, 10, 60})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
