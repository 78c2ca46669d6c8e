// The projection view's costs: playing a 16000-point frame of the start-up
// figure at 48000 points per second through the scanner model into a
// 600 x 600 light image (target: under 2 ms), the same for a figure far too
// fast for the scanners, where nearly every point lays the stray haze, and
// composing the image for the screen, once per redraw.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "projection/beam_image.h"
#include "projection/projection_simulator.h"
#include "projection/scanner_model.h"

namespace {

using namespace whorlgen;

constexpr std::int32_t kSide = 600;
constexpr std::int32_t kPointsPerSec = 48000;

std::vector<engine::LaserPoint> BigFrame() {
  engine::PatternParameters params = engine::StartupParameters();
  params.PointsPerSec = kPointsPerSec;
  params.PointsPerFrame = 16000;
  engine::GeneratorState state;
  engine::FrameData frame;
  engine::BuildFrame(params, state, 2, true, frame);
  return frame.FrameBuffer;
}

void BM_Simulate16000PointsAt48000(benchmark::State& state) {
  const std::vector<engine::LaserPoint> frame = BigFrame();
  projection::BeamImage image;
  image.Resize(kSide, kSide);
  projection::ProjectionSimulator simulator(projection::ScannerParametersFor(30000, 30));
  for (auto _ : state) {
    simulator.PlayFrame(frame, kPointsPerSec, image);
    benchmark::ClobberMemory();
  }
  state.counters["points/s"] = benchmark::Counter(
      static_cast<double>(frame.size()) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Simulate16000PointsAt48000)->Unit(benchmark::kMillisecond);

// A circle of a quarter field at 4000 Hz: its points mostly stray on
// scanners rated 30000 points per second.
std::vector<engine::LaserPoint> FastCircle() {
  std::vector<engine::LaserPoint> frame;
  for (int i = 0; i < 16000; ++i) {
    const double a = 2 * std::numbers::pi * 4000.0 * i / kPointsPerSec;
    frame.push_back({static_cast<std::int16_t>(std::lrint(2048 + 1024 * std::cos(a))),
                     static_cast<std::int16_t>(std::lrint(2048 + 1024 * std::sin(a))), 200, 120, 40,
                     140});
  }
  return frame;
}

void BM_SimulateStraying16000PointsAt48000(benchmark::State& state) {
  const std::vector<engine::LaserPoint> frame = FastCircle();
  projection::BeamImage image;
  image.Resize(kSide, kSide);
  projection::ProjectionSimulator simulator(projection::ScannerParametersFor(30000, 30));
  std::int64_t strays = 0;
  for (auto _ : state) {
    simulator.PlayFrame(frame, kPointsPerSec, image);
    strays += simulator.StrayPoints();
    benchmark::ClobberMemory();
  }
  state.counters["stray share"] =
      static_cast<double>(strays) / (static_cast<double>(frame.size()) * state.iterations());
}
BENCHMARK(BM_SimulateStraying16000PointsAt48000)->Unit(benchmark::kMillisecond);

void BM_Compose600x600(benchmark::State& state) {
  projection::BeamImage image;
  image.Resize(kSide, kSide);
  projection::ProjectionSimulator simulator(projection::ScannerParametersFor(30000, 30));
  simulator.PlayFrame(BigFrame(), kPointsPerSec, image);
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(kSide) * kSide);
  for (auto _ : state) {
    image.Compose(pixels, 0.0, 0xFF000000u);
    benchmark::DoNotOptimize(pixels.data());
  }
}
BENCHMARK(BM_Compose600x600)->Unit(benchmark::kMicrosecond);

}  // namespace
