// The show goes on whatever the operator opens. The real window runs the
// start-up figure, recorded, on the Ether Dream emulator over 127.0.0.1;
// every 2 s the Devices window opens (which scans) and a file dialog runs
// its own modal loop for a second, then both close again.
//
// BM_ShowThroughDialogs reports:
//   longest_gap_ms  the longest stretch of dark points the unit played
//                   between two frames (target: under one frame, 33.3 ms);
//   frames_pct      the frames recorded, as a share of those the time from
//                   Start to Stop allows at the run's frame rate (30 a second);
//   underruns       the unit running dry.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

#include "emulators/emulator_process.h"
#include "lasers/etherdream_dac.h"
#include "ui/application.h"
#include "ui/devices_window.h"
#include "ui/frm_whorlgen.h"

namespace {

using whorlgen::ui::FrmWhorlgen;

constexpr int kRunSeconds = 20;
constexpr int kActionEveryMs = 2000;
constexpr int kDialogOpenMs = 1000;

// The unit's record: every point played, 18 bytes as sent and its 32-bit rate.
constexpr std::size_t kRecordBytes = 22;

std::uint16_t U16(const std::vector<unsigned char>& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// The longest run of dark points between the first and the last lit point.
double LongestGapMs(const std::vector<unsigned char>& record, std::int32_t pointsPerSec) {
  std::size_t longest = 0, dark = 0;
  bool lit = false;
  for (std::size_t at = 0; at + kRecordBytes <= record.size(); at += kRecordBytes) {
    const bool isDark =
        U16(record, at + 6) == 0 && U16(record, at + 8) == 0 && U16(record, at + 10) == 0;
    if (!isDark) {
      if (lit)
        longest = std::max(longest, dark);
      lit = true;
      dark = 0;
    } else {
      ++dark;
    }
  }
  return 1000.0 * static_cast<double>(longest) / pointsPerSec;
}

void BM_ShowThroughDialogs(benchmark::State& state) {
  QTemporaryDir dir;
  const std::uint16_t port = whorlgen::emulators::FreeLoopbackPort(SOCK_STREAM);
  const std::string record = dir.filePath("record").toStdString();
  whorlgen::emulators::EmulatorProcess unit(
      WHORLGEN_DAC_EMULATOR, {"--etherdream", "--port", std::to_string(port), "--record", record},
      dir.filePath("stats").toStdString());
  if (!unit.Started()) {
    state.SkipWithError("the emulator did not start");
    return;
  }
  whorlgen::lasers::EtherDreamTarget target;
  target.Name = "Ether Dream bench";
  target.Address.sin_family = AF_INET;
  target.Address.sin_port = htons(port);
  target.Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  double gapMs = 0, framesPct = 0;
  for (auto _ : state) {
    whorlgen::ui::Application program;
    whorlgen::ui::FrmWhorlgen& window = program.Window();
    window.Loop.IldaDirectory = dir.path().toStdString();
    window.Loop.MakeDriver = [&](const std::string&) {
      return std::make_unique<whorlgen::lasers::EtherDreamDriver>(target);
    };
    window.findChild<QCheckBox*>("chkILDAout")->setChecked(true);
    window.show();

    QTimer operatorActions;
    QObject::connect(&operatorActions, &QTimer::timeout, [&] {
      window.Devices()->Open();
      QFileDialog dialog(&window, "Save preset");
      QTimer::singleShot(kDialogOpenMs, &dialog, &QDialog::reject);
      dialog.exec();
      window.Devices()->close();
    });
    QEventLoop untilEnded;
    QObject::connect(&window, &FrmWhorlgen::RunFinished, &untilEnded, &QEventLoop::quit);
    QElapsedTimer clock;
    double seconds = 0;
    QTimer::singleShot(kRunSeconds * 1000, &window, [&] {
      seconds = clock.elapsed() / 1000.0;
      window.ClickStop();
    });
    clock.start();
    window.ClickStart();
    operatorActions.start(kActionEveryMs);
    untilEnded.exec();
    const double allowed = seconds * window.Params.PointsPerSec / window.Params.PointsPerFrame;
    framesPct = 100.0 * window.TotalFrames() / allowed;
  }
  auto report = unit.Stop();
  std::ifstream in(record, std::ios::binary);
  const std::vector<unsigned char> played{std::istreambuf_iterator<char>(in), {}};
  gapMs = LongestGapMs(played, 15000);
  state.counters["longest_gap_ms"] = gapMs;
  state.counters["frames_pct"] = framesPct;
  state.counters["underruns"] = std::stod(report["underruns"]);
}

BENCHMARK(BM_ShowThroughDialogs)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
