// Cost of one preview frame: rasterise, upload (a copy into a second buffer
// stands in for the picture box, or nothing) and clear, at the start-up
// values and at the worst case, beside a whole-buffer clear for scale.
// headroom is the frame's playing time divided by the time it took to draw
// (a plain ratio, though the library prints it as a rate with "/s"): the
// targets are 100 at the start-up values and 10 at the worst case.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "preview/rasteriser.h"

namespace {

using whorlgen::engine::LaserPoint;
using whorlgen::preview::PreviewRenderer;
using whorlgen::preview::PreviewUpload;

constexpr std::int32_t kSide = 245;  // the picture box's inner size

class NoUpload final : public PreviewUpload {
 public:
  void Upload(const std::uint32_t* pixels, std::int32_t) override {
    benchmark::DoNotOptimize(pixels);
  }
};

class CopyUpload final : public PreviewUpload {
 public:
  CopyUpload() : image_(static_cast<std::size_t>(kSide) * kSide) {}
  void Upload(const std::uint32_t* pixels, std::int32_t byteCount) override {
    std::memcpy(image_.data(), pixels, static_cast<std::size_t>(byteCount));
    benchmark::DoNotOptimize(image_.data());
  }

 private:
  std::vector<std::uint32_t> image_;
};

// A real first frame from the generator: 500 points, mode 2, limit on.
std::vector<LaserPoint> StartupFrame() {
  whorlgen::engine::GeneratorState state;
  whorlgen::engine::FrameData frame;
  whorlgen::engine::BuildFrame(whorlgen::engine::StartupParameters(), state, 2, true, frame);
  return frame.FrameBuffer;
}

// 16000 lit points jumping between opposite corners: every segment is as
// long as the surface allows.
std::vector<LaserPoint> FarApartFrame() {
  std::vector<LaserPoint> frame(16000);
  for (std::size_t i = 0; i < frame.size(); ++i) {
    const auto code = static_cast<std::int16_t>(i % 2 == 0 ? 0 : 4095);
    frame[i] = LaserPoint{code, code, static_cast<std::uint8_t>(i), 200, 100, 0};
  }
  return frame;
}

void RunFrames(benchmark::State& state, const std::vector<LaserPoint>& frame, bool showDots,
               double playingTimeSec, PreviewUpload&& upload) {
  PreviewRenderer renderer;
  renderer.Setup(kSide, kSide);
  for (auto _ : state) {
    renderer.DrawPreview(frame, showDots, upload);
  }
  const auto writes = static_cast<double>(renderer.PixelWriteCount());
  state.counters["pixelsPerFrame"] = writes;
  state.counters["pixelsPerSec"] =
      benchmark::Counter(writes, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["headroom"] =
      benchmark::Counter(playingTimeSec, benchmark::Counter::kIsIterationInvariantRate);
}

constexpr double kStartupPlayingSec = 500.0 / 15000.0;
// 16000 points at the highest rate, 48000 points per second.
constexpr double kWorstPlayingSec = 16000.0 / 48000.0;

void BM_RasteriseStartupLines(benchmark::State& state) {
  RunFrames(state, StartupFrame(), false, kStartupPlayingSec, NoUpload{});
}
BENCHMARK(BM_RasteriseStartupLines);

void BM_RasteriseStartupDots(benchmark::State& state) {
  RunFrames(state, StartupFrame(), true, kStartupPlayingSec, NoUpload{});
}
BENCHMARK(BM_RasteriseStartupDots);

void BM_RasteriseWorstCaseDots(benchmark::State& state) {
  RunFrames(state, FarApartFrame(), true, kWorstPlayingSec, NoUpload{});
}
BENCHMARK(BM_RasteriseWorstCaseDots)->Unit(benchmark::kMillisecond);

void BM_DrawPreviewStartupLines(benchmark::State& state) {
  RunFrames(state, StartupFrame(), false, kStartupPlayingSec, CopyUpload{});
}
BENCHMARK(BM_DrawPreviewStartupLines);

void BM_DrawPreviewStartupDots(benchmark::State& state) {
  RunFrames(state, StartupFrame(), true, kStartupPlayingSec, CopyUpload{});
}
BENCHMARK(BM_DrawPreviewStartupDots);

void BM_DrawPreviewWorstCaseDots(benchmark::State& state) {
  RunFrames(state, FarApartFrame(), true, kWorstPlayingSec, CopyUpload{});
}
BENCHMARK(BM_DrawPreviewWorstCaseDots)->Unit(benchmark::kMillisecond);

void BM_FullClearReference(benchmark::State& state) {
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(kSide) * kSide, 1);
  for (auto _ : state) {
    std::fill(pixels.begin(), pixels.end(), 0);
    benchmark::DoNotOptimize(pixels.data());
    benchmark::ClobberMemory();
  }
  state.counters["pixelsPerSec"] = benchmark::Counter(
      static_cast<double>(pixels.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FullClearReference);

}  // namespace
