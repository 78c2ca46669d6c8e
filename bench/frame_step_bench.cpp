// The whole frame step of an unpaced run, through the real window on Qt's
// offscreen platform: build, send (to no device), draw with the upload into
// the picture box, record, handle pending events. Reported: frames per
// second, the microseconds of each step, and load_pct, the share of the
// frame's playing time that the step takes (targets: under 1 at the start-up
// values, under 5 at 16000 points and 48000 points per second).

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <QStyleFactory>
#include <chrono>
#include <filesystem>
#include <memory>

#include "engine/frame_generator.h"
#include "output/dac_driver.h"
#include "preview/preview_surface.h"
#include "ui/application.h"
#include "ui/frm_whorlgen.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using whorlgen::ui::FrmWhorlgen;

double Microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

void FrameStep(benchmark::State& state, bool heaviest) {
  whorlgen::ui::Application program;
  whorlgen::ui::FrmWhorlgen& window = program.Window();
  window.show();
  QCoreApplication::processEvents();
  auto& params = window.Params;
  if (heaviest) {
    params.PointsPerFrame = 16000;
    params.PointsPerSec = 48000;
    params.RepPoints = 1;
    params.XRot = whorlgen::engine::AngleFromPosition(30);
    params.YRot = whorlgen::engine::AngleFromPosition(-20);
  }
  auto* picture = window.findChild<whorlgen::preview::PreviewSurface*>("picPreview");
  const fs::path dir = fs::temp_directory_path() / "whorlgen-frame-step-bench";
  fs::remove_all(dir);
  fs::create_directories(dir);
  window.Ilda.BeginRun();
  if (window.Ilda.OpenIldaFile(dir))
    state.SkipWithError("cannot record");
  whorlgen::output::DacState dac;
  auto driver = whorlgen::output::SelectDacDriver("no device", dac, window.Libraries);

  Clock::duration build{}, send{}, draw{}, record{}, events{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    whorlgen::engine::BuildFrame(params, window.Generator, 2, true, window.Frame);
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(driver->SendFrame(window.Frame, params.PointsPerSec));
    const auto t2 = Clock::now();
    window.Preview.DrawPreview(window.Frame.FrameBuffer, false, *picture);
    const auto t3 = Clock::now();
    window.Ilda.WriteIldaFrame(window.Frame.FrameBuffer);
    const auto t4 = Clock::now();
    QCoreApplication::processEvents();
    const auto t5 = Clock::now();
    build += t1 - t0;
    send += t2 - t1;
    draw += t3 - t2;
    record += t4 - t3;
    events += t5 - t4;
  }
  window.Ilda.EndRun();
  benchmark::DoNotOptimize(window.Ilda.FinishIldaFile());
  fs::remove_all(dir);

  const double n = static_cast<double>(state.iterations());
  const double totalUs = (Microseconds(build) + Microseconds(send) + Microseconds(draw) +
                          Microseconds(record) + Microseconds(events)) /
                         n;
  const double playingUs = 1e6 * params.PointsPerFrame / params.PointsPerSec;
  state.counters["frames_per_s"] = 1e6 / totalUs;
  state.counters["build_us"] = Microseconds(build) / n;
  state.counters["send_us"] = Microseconds(send) / n;
  state.counters["draw_us"] = Microseconds(draw) / n;
  state.counters["ilda_us"] = Microseconds(record) / n;
  state.counters["events_us"] = Microseconds(events) / n;
  state.counters["load_pct"] = 100.0 * totalUs / playingUs;
}

void BM_FrameStepStartup(benchmark::State& state) {
  FrameStep(state, false);
}
void BM_FrameStepHeaviest(benchmark::State& state) {
  FrameStep(state, true);
}
BENCHMARK(BM_FrameStepStartup)->UseRealTime();
BENCHMARK(BM_FrameStepHeaviest)->UseRealTime();

}  // namespace
