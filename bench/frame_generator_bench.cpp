// Cost of one frame. Each benchmark reports points per second, and the
// frame builders also report realtime_x: points generated per second over
// PointsPerSec, i.e. how many times faster than the laser draws them.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/frame_generator.h"

namespace whorlgen::engine {
namespace {

// The most points per second of computation the panel allows: the longest
// frame at the fastest rate, a new position at every point, both rotations on.
PatternParameters HeaviestParameters() {
  PatternParameters p = StartupParameters();
  p.PointsPerFrame = PointsPerFrameFromPosition(16000);
  p.PointsPerSec = PointsPerSecFromPosition(24000);
  p.RepPoints = RepPointsFromPosition(0);
  p.XGain = GainFromPosition(100);
  p.YGain = GainFromPosition(90);
  p.XPhase = AngleFromPosition(20);
  p.XRot = AngleFromPosition(30);
  p.YRot = AngleFromPosition(-45);
  p.XFreq = FigureFreqFromPosition(997);
  p.YFreq = FigureFreqFromPosition(613);
  p.ZFreq = FigureFreqFromPosition(401);
  p.RFreq = ColourFreqFromPosition(1000);
  p.GFreq = ColourFreqFromPosition(777);
  p.BFreq = ColourFreqFromPosition(333);
  return p;
}

void ReportRates(benchmark::State& st, std::int32_t pointsPerFrame, std::int32_t pointsPerSec) {
  const auto points = static_cast<std::int64_t>(st.iterations()) * pointsPerFrame;
  st.SetItemsProcessed(points);
  st.counters["realtime_x"] =
      benchmark::Counter(static_cast<double>(points) / pointsPerSec, benchmark::Counter::kIsRate);
}

void RunBuildFrame(benchmark::State& st, const PatternParameters& p, int opMode) {
  GeneratorState s;
  FrameData f;
  for (auto _ : st) {
    BuildFrame(p, s, opMode, true, f);
    benchmark::DoNotOptimize(f.FrameBuffer.data());
    benchmark::ClobberMemory();
  }
  ReportRates(st, p.PointsPerFrame, p.PointsPerSec);
}

void BM_BuildFrameStartup(benchmark::State& st) {
  RunBuildFrame(st, StartupParameters(), 2);
}
BENCHMARK(BM_BuildFrameStartup);

void BM_BuildFrameHeaviest(benchmark::State& st) {
  RunBuildFrame(st, HeaviestParameters(), static_cast<int>(st.range(0)));
}
BENCHMARK(BM_BuildFrameHeaviest)->ArgName("mode")->Arg(2)->Arg(6);

// The least any frame builder can cost: the three colour cosines of every
// point, rounded to bytes the same way, and nothing else.
void BM_ColourFloor(benchmark::State& st) {
  const PatternParameters p = HeaviestParameters();
  const double pps = p.PointsPerSec;
  const double rInc = p.RFreq * TwoPi / pps;
  const double gInc = p.GFreq * TwoPi / pps;
  const double bInc = p.BFreq * TwoPi / pps;
  double r = 0;
  double g = 0;
  double b = 0;
  std::vector<std::uint8_t> levels(static_cast<std::size_t>(p.PointsPerFrame) * 3);
  for (auto _ : st) {
    std::uint8_t* out = levels.data();
    for (std::int32_t i = 0; i < p.PointsPerFrame; ++i) {
      *out++ = static_cast<std::uint8_t>(std::lrint(127 * std::cos(r) + 128));
      r += rInc;
      *out++ = static_cast<std::uint8_t>(std::lrint(127 * std::cos(g) + 128));
      g += gInc;
      *out++ = static_cast<std::uint8_t>(std::lrint(127 * std::cos(b) + 128));
      b += bInc;
    }
    benchmark::DoNotOptimize(levels.data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations()) * p.PointsPerFrame);
}
BENCHMARK(BM_ColourFloor);

}  // namespace
}  // namespace whorlgen::engine
