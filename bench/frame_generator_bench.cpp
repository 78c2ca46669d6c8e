#include <benchmark/benchmark.h>

#include "engine/frame_generator.h"

namespace whorlgen::engine {
namespace {

void BM_BuildFrameStartup(benchmark::State& st) {
  const PatternParameters p = StartupParameters();
  GeneratorState s;
  FrameData f;
  for (auto _ : st) {
    BuildFrame(p, s, 2, true, f);
    benchmark::DoNotOptimize(f.FrameBuffer.data());
  }
}
BENCHMARK(BM_BuildFrameStartup);

}  // namespace
}  // namespace whorlgen::engine
