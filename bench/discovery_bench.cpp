// The panel's thread while the device directory scans: the whole window,
// with 20 Ether Dream and 20 IDN units added by address on loopback ports
// where nothing answers, and the scan that opening the Devices window asks
// for. A zero-time timer marks every turn of the panel's event loop.
//
// BM_PanelTurnsWhileScanning: longest_gap_ms, the longest time between two
//   turns from the request until the scan's snapshot is drawn (target: under
//   5 ms); scan_ms, how long the scan took (the IDN answer wait and the
//   probes run at once, so about 300 ms, not 40 times that).

#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <QApplication>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "emulators/emulator_process.h"
#include "ui/application.h"
#include "ui/dac_directory.h"
#include "ui/devices_window.h"
#include "ui/frm_whorlgen.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSilentUnits = 20;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// A settings file naming the silent units, in a folder of its own.
void WriteSilentUnits(const QTemporaryDir& config) {
  std::string etherDreams;
  std::string idns;
  for (int i = 0; i < kSilentUnits; ++i) {
    const std::string separator = i == 0 ? "" : ", ";
    etherDreams += separator + "127.0.0.1:" +
                   std::to_string(whorlgen::emulators::FreeLoopbackPort(SOCK_STREAM));
    idns += separator +
            "127.0.0.1:" + std::to_string(whorlgen::emulators::FreeLoopbackPort(SOCK_DGRAM));
  }
  const std::string folder = config.path().toStdString() + "/whorlgen";
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/whorlgen.conf")
      << "[network]\netherdream_addresses=" << etherDreams << "\nidn_addresses=" << idns << "\n";
}

void BM_PanelTurnsWhileScanning(benchmark::State& state) {
  qputenv("WHORLGEN_SCAN_ADDRESSES", "127.0.0.1");
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  WriteSilentUnits(config);
  whorlgen::ui::Application program;
  whorlgen::ui::FrmWhorlgen& window = program.Window();
  window.show();
  auto& directory = window.Dacs().Directory();
  // The added units are listed first, so the scan's snapshot is the news;
  // the Devices window is drawn once before, so only the scans are timed.
  while (window.ListedDacNames().size() < 3 + 2 * kSilentUnits)
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  window.Devices()->Open();
  while (directory.Latest().ScansDone == 0 || directory.Latest().Scanning)
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

  double longestGap_ms = 0.0;
  double scan_ms = 0.0;
  for (auto _ : state) {
    const std::uint64_t scansBefore = directory.Latest().ScansDone;
    Clock::time_point last = Clock::now();
    double gap_ms = 0.0;
    QTimer turns;
    QObject::connect(&turns, &QTimer::timeout, [&] {
      const Clock::time_point now = Clock::now();
      gap_ms = std::max(gap_ms, Ms(now - last));
      last = now;
    });
    turns.start(0);
    const Clock::time_point asked = Clock::now();
    window.Devices()->Open();  // asks for a scan, as opening it does
    while (directory.Latest().ScansDone == scansBefore)
      QApplication::processEvents();
    scan_ms = Ms(Clock::now() - asked);
    // The snapshot's drawing on the panel counts too.
    for (const Clock::time_point until = Clock::now() + std::chrono::milliseconds(50);
         Clock::now() < until;)
      QApplication::processEvents();
    longestGap_ms = std::max(longestGap_ms, gap_ms);
  }
  state.counters["longest_gap_ms"] = longestGap_ms;
  state.counters["scan_ms"] = scan_ms;
}

BENCHMARK(BM_PanelTurnsWhileScanning)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
