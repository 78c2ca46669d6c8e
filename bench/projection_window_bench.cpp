// The Projection window during a run, through the whole program on Qt's
// offscreen platform: the start-up figure on the emulated EZLase card with the
// window open at 600 x 600. Reports the pictures the window drew a second
// (target: at least 50) and the process's CPU share (target: under 10 % of
// one core; tools/measure-projection-cpu.sh measures the same under Xvfb).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>

#include "bench/bench_support.h"
#include "ui/application.h"
#include "ui/frm_whorlgen.h"
#include "ui/projection_window.h"

using whorlgen::bench::ProcessCpuSeconds;
namespace {

void BM_ProjectionWindowDuringARun(benchmark::State& state) {
  constexpr int kSettleMs = 1000;
  constexpr int kMeasureMs = 10000;
  double drawnPerSecond = 0, cpuPercent = 0;
  for (auto _ : state) {
    whorlgen::ui::Application program;
    whorlgen::ui::FrmWhorlgen& window = program.Window();
    window.findChild<QListWidget*>("lstDACSelect")->setCurrentRow(1);  // "EZLase"
    window.show();
    window.Projection()->show();
    window.ClickStart();
    QTest::qWait(kSettleMs);
    const std::int64_t drawnBefore = window.Projection()->FramesDrawn();
    const double cpuBefore = ProcessCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(kMeasureMs);
    const double seconds = clock.elapsed() / 1000.0;
    drawnPerSecond = (window.Projection()->FramesDrawn() - drawnBefore) / seconds;
    cpuPercent = 100.0 * (ProcessCpuSeconds() - cpuBefore) / seconds;
    window.ClickStop();
    if (!QTest::qWaitFor([&] { return !window.Loop.InRun(); }, 5000))
      state.SkipWithError("the run did not end");
  }
  state.counters["drawn_per_s"] = drawnPerSecond;
  state.counters["cpu_pct"] = cpuPercent;
}

BENCHMARK(BM_ProjectionWindowDuringARun)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
