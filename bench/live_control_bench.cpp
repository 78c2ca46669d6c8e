// Live control under a real show: the window runs the start-up figure on the
// emulated EZLase card, which plays each frame in real time, while OSC
// messages arrive from liblo's own sender over 127.0.0.1.
//
// BM_OscValueToNextFrame: messages sent at random moments of the frame; from
//   lo_send to the moment the panel holds the value, after which the next
//   frame is built from it (mean, p95, max in ms). The panel's thread is free
//   while the card plays, so the value is held at once; frames_between_max
//   1: every value rode the first frame begun after it arrived.
// BM_OscThousandPerSecond: the process's CPU time as a share of one core,
//   without and with 1000 messages a second (the sender thread's own CPU
//   taken out), and the frames handed over late: a gap between hand-overs
//   longer than the card's two frames of buffer (starved). Target: extra_pct
//   under 5, late 0.
// BM_ParseNestedPreset: one preset of 1 MiB of '[' checked and refused.
// BM_HostilePresetsFromOsc: 64 such presets asked for over OSC while the
//   panel idles: the panel thread's CPU time per preset (panel_us_per_preset,
//   target under 500: the reading is on the reader thread), the longest the
//   panel's event loop was away (max_gap_ms; on a loaded machine mostly the
//   scheduler's) and the time until all were refused.

#include <benchmark/benchmark.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "control/preset.h"
#include "emulators/emulator_process.h"
#include "ui/application.h"
#include "ui/frm_whorlgen.h"
#include "ui/live_control.h"
#include "ui/panel_scroll_bar.h"

using whorlgen::bench::ProcessCpuSeconds;
namespace {

using whorlgen::ui::FrmWhorlgen;
using whorlgen::ui::LiveControl;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// A window listening for OSC on a free port, with its settings in a
// temporary directory, set to play on the emulated EZLase card.
struct Show {
  QTemporaryDir config;
  std::unique_ptr<whorlgen::ui::Application> program;
  FrmWhorlgen* window = nullptr;
  LiveControl* live = nullptr;
  lo_address to = nullptr;
  std::vector<Clock::time_point> handOvers;  // when each frame was about to be built

  Show() {
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    program = std::make_unique<whorlgen::ui::Application>();
    window = &program->Window();
    window->findChild<QListWidget*>("lstDACSelect")->setCurrentRow(1);  // "EZLase"
    window->show();
    live = window->findChild<LiveControl*>("liveControl");
    const int port = whorlgen::emulators::FreeLoopbackPort(SOCK_DGRAM);
    live->SetOsc(true, port);
    to = lo_address_new("127.0.0.1", std::to_string(port).c_str());
  }
  ~Show() { lo_address_free(to); }

  double FramePlaying_ms() const {
    return 1000.0 * window->Params.PointsPerFrame / window->Params.PointsPerSec;
  }

  // Runs the show; tick runs once per frame, just before it is built, and
  // returns false to stop.
  void Run(const std::function<bool()>& tick) {
    handOvers.clear();
    const QMetaObject::Connection frames =
        QObject::connect(window, &FrmWhorlgen::FrameComing, [&](double) {
          handOvers.push_back(Clock::now());
          if (!tick() && window->Running())
            window->ClickStop();
        });
    QEventLoop untilEnded;
    QObject::connect(window, &FrmWhorlgen::RunFinished, &untilEnded, &QEventLoop::quit);
    window->ClickStart();
    if (window->Loop.InRun())
      untilEnded.exec();
    QObject::disconnect(frames);
  }

  int LateFrames() const {
    const auto starved = std::chrono::duration<double, std::milli>(2.0 * FramePlaying_ms());
    int late = 0;
    for (std::size_t i = 1; i < handOvers.size(); ++i)
      late += (handOvers[i] - handOvers[i - 1]) > starved;
    return late;
  }
};

void BM_OscValueToNextFrame(benchmark::State& state) {
  Show show;
  constexpr int kSamples = 100;
  auto* bar = show.window->findChild<whorlgen::ui::PanelScrollBar*>("scrXGain");
  struct Sample {
    Clock::time_point sent;
    Clock::time_point applied;
  };
  std::vector<Sample> samples;
  std::atomic<int> target{0};
  std::atomic<bool> applied{false};
  std::atomic<Clock::rep> sentAt{0};
  // The bar's Change marks the moment the panel holds the value: the frame
  // begun after this event handling is built from it.
  QObject::connect(bar, &whorlgen::ui::PanelScrollBar::Change, [&](int v) {
    if (v != target || applied)
      return;
    samples.push_back({Clock::time_point(Clock::duration(sentAt.load())), Clock::now()});
    applied = true;
  });
  for (auto _ : state) {
    std::atomic<bool> done{false};
    // Messages at random moments of the frame, one at a time.
    std::thread sender([&] {
      lo_address to = lo_address_new("127.0.0.1", std::to_string(show.live->OscPort()).c_str());
      std::srand(7);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      for (int i = 0; i < kSamples && !done; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(std::rand() % 40000));
        applied = false;
        target = 24 + i % 2 * 2;  // 24 and 26 in turn: always a change
        sentAt = Clock::now().time_since_epoch().count();
        lo_send(to, "/whorlgen/x_gain", "i", target.load());
        while (!applied && !done)
          std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      lo_address_free(to);
      done = true;
    });
    show.Run([&] { return !done; });
    done = true;
    sender.join();
  }
  std::vector<double> latencies;
  long mostFramesBetween = 0;
  for (const Sample& s : samples) {
    latencies.push_back(Ms(s.applied - s.sent));
    // Frames handed over between the send and the panel holding the value:
    // 1 means the value rode the first frame begun after it arrived.
    const auto from = std::upper_bound(show.handOvers.begin(), show.handOvers.end(), s.sent);
    const auto to = std::upper_bound(show.handOvers.begin(), show.handOvers.end(), s.applied);
    mostFramesBetween = std::max<long>(mostFramesBetween, to - from);
  }
  std::sort(latencies.begin(), latencies.end());
  double sum = 0;
  for (double x : latencies)
    sum += x;
  const auto n = latencies.size();
  state.counters["frame_ms"] = show.FramePlaying_ms();
  state.counters["samples"] = static_cast<double>(n);
  state.counters["mean_ms"] = n == 0 ? 0 : sum / static_cast<double>(n);
  state.counters["p95_ms"] = n == 0 ? 0 : latencies[n * 95 / 100];
  state.counters["max_ms"] = n == 0 ? 0 : latencies.back();
  state.counters["frames_between_max"] = static_cast<double>(mostFramesBetween);
}

// One stretch of the show, with or without the sender; CPU share of one core.
double ShowCpuPercent(Show& show, double seconds, bool withOsc, int& late, long& sent) {
  std::atomic<bool> sending{withOsc};
  std::atomic<double> senderCpu{0.0};
  std::atomic<long> count{0};
  std::thread sender;
  const double cpuBefore = ProcessCpuSeconds();
  const auto start = Clock::now();
  if (withOsc) {
    sender = std::thread([&] {
      lo_address to = lo_address_new("127.0.0.1", std::to_string(show.live->OscPort()).c_str());
      const double before = ThreadCpuSeconds();
      auto next = Clock::now();
      for (long i = 0; sending; ++i) {
        lo_send(to, i % 2 ? "/whorlgen/x_gain" : "/whorlgen/y_gain", "i",
                25 + static_cast<int>(i % 3 == 0));
        ++count;
        next += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next);
      }
      senderCpu = ThreadCpuSeconds() - before;
      lo_address_free(to);
    });
  }
  show.Run([&] { return Clock::now() - start < std::chrono::duration<double>(seconds); });
  sending = false;
  if (sender.joinable())
    sender.join();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  late = show.LateFrames();
  sent = count;
  return 100.0 * (ProcessCpuSeconds() - cpuBefore - senderCpu) / wall;
}

void BM_OscThousandPerSecond(benchmark::State& state) {
  Show show;
  constexpr double kSeconds = 5.0;
  double base = 0, withOsc = 0;
  int lateBase = 0, lateOsc = 0;
  long sent = 0, unused = 0;
  for (auto _ : state) {
    base = ShowCpuPercent(show, kSeconds, false, lateBase, unused);
    withOsc = ShowCpuPercent(show, kSeconds, true, lateOsc, sent);
  }
  state.counters["base_cpu_pct"] = base;
  state.counters["osc_cpu_pct"] = withOsc;
  state.counters["extra_pct"] = withOsc - base;
  state.counters["msgs_per_s"] = static_cast<double>(sent) / kSeconds;
  state.counters["late_base"] = lateBase;
  state.counters["late_osc"] = lateOsc;
  state.counters["ignored"] = static_cast<double>(show.live->Ignored());
}

std::string NestedBrackets() {
  return std::string(whorlgen::control::kMaxPresetFileBytes, '[');
}

void BM_ParseNestedPreset(benchmark::State& state) {
  const std::string text = NestedBrackets();
  for (auto _ : state)
    benchmark::DoNotOptimize(whorlgen::control::ParsePreset(text));
}

void BM_HostilePresetsFromOsc(benchmark::State& state) {
  Show show;
  const QString file = show.config.filePath("brackets.json");
  {
    QFile out(file);
    out.open(QIODevice::WriteOnly);
    out.write(QByteArray::fromStdString(NestedBrackets()));
  }
  constexpr int kPresets = 64;
  double maxGap_ms = 0.0;
  double allRefused_ms = 0.0;
  double panelCpu_s = 0.0;
  for (auto _ : state) {
    const std::uint64_t ignoredBefore = show.live->Ignored();
    const auto start = Clock::now();
    const double cpuBefore = ThreadCpuSeconds();
    for (int i = 0; i < kPresets; ++i) {
      lo_send(show.to, "/whorlgen/preset", "s", file.toUtf8().constData());
      // Apart, so UDP drops none of them.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // A tick every millisecond measures how long the event loop was away;
    // the loop sleeps between events, so the thread's CPU time is the work.
    auto last = Clock::now();
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
      const auto now = Clock::now();
      maxGap_ms = std::max(maxGap_ms, Ms(now - last));
      last = now;
    });
    tick.start(1);
    while (show.live->Ignored() < ignoredBefore + kPresets &&
           Clock::now() - start < std::chrono::seconds(30))
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    allRefused_ms = Ms(Clock::now() - start);
    panelCpu_s = ThreadCpuSeconds() - cpuBefore;
  }
  state.counters["panel_us_per_preset"] = 1e6 * panelCpu_s / kPresets;
  state.counters["max_gap_ms"] = maxGap_ms;
  state.counters["all_refused_ms"] = allRefused_ms;
  state.counters["refused"] = static_cast<double>(show.live->Ignored());
}

BENCHMARK(BM_OscValueToNextFrame)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OscThousandPerSecond)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseNestedPreset)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostilePresetsFromOsc)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
