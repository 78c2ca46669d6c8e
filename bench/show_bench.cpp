// One show on several projectors, played by the whole program (the window
// offscreen, the show set up in its settings file) on emulated projectors,
// each on its own loopback address.
//
// BM_FourProjectors: the start-up figure on two Ether Dream and two IDN
// units for 67 s. The Ether Dreams' clocks run 900 ppm fast and slow (the
// IDN units follow this computer's), which drifts them as far apart as 10
// minutes at +/-100 ppm would. Reports
//   cpu_pct    this process's CPU time as a share of one core (target: < 5);
//   underruns  all four units running dry (target: 0), and apart those that
//              came right after an emulator was itself not scheduled;
//   widest_ms  the largest difference between two projectors' start of the
//              same frame over the show (target: under one frame, 33.3 ms),
//              and its 99th percentile.
// BM_HeaviestOnTwo: 16000 points at 48000 points a second on an Ether Dream
// and an IDN unit for 30 s; reports the underruns (target: 0) and cpu_pct.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "emulators/emulator_process.h"
#include "ui/application.h"
#include "ui/frm_whorlgen.h"

using whorlgen::bench::ProcessCpuSeconds;
namespace {

namespace fs = std::filesystem;
using whorlgen::ui::FrmWhorlgen;

std::vector<unsigned char> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// An emulated projector on its own address, recording what it plays and when.
struct Projector {
  Projector(bool etherDream, std::string address, const fs::path& dir, const std::string& ppm)
      : EtherDream(etherDream),
        Address(std::move(address)),
        Port(whorlgen::emulators::FreeLoopbackPort(etherDream ? SOCK_STREAM : SOCK_DGRAM,
                                                   Address.c_str())),
        Dir(dir / Address) {
    fs::create_directories(Dir);
    Unit = std::make_unique<whorlgen::emulators::EmulatorProcess>(
        WHORLGEN_DAC_EMULATOR,
        std::vector<std::string>{etherDream ? "--etherdream" : "--idn", "--address", Address,
                                 "--port", std::to_string(Port), "--clock-ppm", ppm, "--record",
                                 (Dir / "record").string(), "--play-times",
                                 (Dir / "times").string()},
        Dir / "stats");
  }

  std::string Listed() const { return Address + ":" + std::to_string(Port); }
  std::string Name() const { return (EtherDream ? "Ether Dream " : "IDN ") + Listed(); }

  // When each lit point played, in order (seconds).
  std::vector<double> LitTimes() const {
    const std::vector<unsigned char> bytes = ReadAll(Dir / "record");
    const std::vector<unsigned char> times = ReadAll(Dir / "times");
    std::vector<double> lit;
    std::size_t point = 0;
    auto note = [&](bool isLit) {
      if (point * 8 + 8 > times.size())
        return;
      if (isLit) {
        std::uint64_t ns = 0;
        for (int i = 7; i >= 0; --i)
          ns = ns << 8 | times[point * 8 + static_cast<std::size_t>(i)];
        lit.push_back(static_cast<double>(ns) / 1e9);
      }
      ++point;
    };
    if (EtherDream) {
      for (std::size_t at = 0; at + 22 <= bytes.size(); at += 22)
        note((bytes[at + 6] | bytes[at + 7] | bytes[at + 8] | bytes[at + 9] | bytes[at + 10] |
              bytes[at + 11]) != 0);
      return lit;
    }
    for (std::size_t at = 0; at + 6 <= bytes.size();) {
      const std::size_t count = static_cast<std::size_t>(bytes[at] << 8 | bytes[at + 1]);
      at += 6;
      for (std::size_t i = 0; i < count && at + 7 <= bytes.size(); ++i, at += 7)
        note((bytes[at + 4] | bytes[at + 5] | bytes[at + 6]) != 0);
    }
    return lit;
  }

  bool EtherDream;
  std::string Address;
  std::uint16_t Port;
  fs::path Dir;
  std::unique_ptr<whorlgen::emulators::EmulatorProcess> Unit;
};

void WriteSettings(const QTemporaryDir& config, const std::vector<Projector*>& units) {
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  std::string etherDreams, idns, further;
  for (const Projector* unit : units) {
    std::string& list = unit->EtherDream ? etherDreams : idns;
    list += (list.empty() ? "" : ", ") + unit->Listed();
    if (unit != units.front())
      further += (further.empty() ? "" : ", ") + unit->Name();
  }
  fs::create_directories(config.path().toStdString() + "/whorlgen");
  std::ofstream(config.path().toStdString() + "/whorlgen/whorlgen.conf")
      << "[network]\netherdream_addresses=" << etherDreams << "\nidn_addresses=" << idns
      << "\n[show]\noutputs=" << further << "\n";
}

struct ShowResult {
  double CpuPct = 0;
  double Underruns = 0, UnderrunsInOwnPause = 0;
  double WidestMs = 0, P99Ms = 0;
  bool Ok = false;
};

// The whole program plays the show on `units` (the first one the panel's
// DAC) for `seconds` at the given figure size and rate.
ShowResult PlayShow(const std::vector<Projector*>& units, int seconds, int pointsPerFrame,
                    int pointsPerSec) {
  ShowResult result;
  QTemporaryDir config;
  WriteSettings(config, units);
  {
    whorlgen::ui::Application program;
    FrmWhorlgen& window = program.Window();
    window.show();
    if (!QTest::qWaitFor([&] { return window.ChooseDac(units.front()->Name()); }, 5000))
      return result;
    window.SetBarPosition("scrPointsPerFrame", pointsPerFrame);
    window.SetBarPosition("scrPointsPerSec", pointsPerSec / 2);
    QEventLoop untilEnded;
    QObject::connect(&window, &FrmWhorlgen::RunFinished, &untilEnded, &QEventLoop::quit);
    QElapsedTimer clock;
    double cpuAtStart = 0, cpuSeconds = 0, wallSeconds = 0;
    QTimer::singleShot(seconds * 1000, &window, [&] {
      cpuSeconds = ProcessCpuSeconds() - cpuAtStart;
      wallSeconds = clock.elapsed() / 1000.0;
      window.ClickStop();
    });
    clock.start();
    cpuAtStart = ProcessCpuSeconds();
    window.ClickStart();
    untilEnded.exec();
    result.CpuPct = 100.0 * cpuSeconds / wallSeconds;
  }
  std::vector<std::vector<double>> lit;
  for (Projector* unit : units) {
    auto report = unit->Unit->Stop();
    result.Underruns += std::stod(report["underruns"]);
    if (unit->EtherDream)
      result.UnderrunsInOwnPause += std::stod(report["underruns_in_own_pause"]);
    lit.push_back(unit->LitTimes());
  }
  // Every frame is pointsPerFrame lit points: frame f begins at lit point
  // f x pointsPerFrame on every projector. The first frames go out before
  // the devices have told when they play.
  constexpr std::size_t kSettling = 10;
  std::vector<double> spreads;
  for (std::size_t f = kSettling;; ++f) {
    const std::size_t at = f * static_cast<std::size_t>(pointsPerFrame);
    if (std::any_of(lit.begin(), lit.end(), [&](const auto& times) { return at >= times.size(); }))
      break;
    double earliest = lit[0][at], latest = lit[0][at];
    for (const auto& times : lit) {
      earliest = std::min(earliest, times[at]);
      latest = std::max(latest, times[at]);
    }
    spreads.push_back((latest - earliest) * 1000.0);
  }
  if (spreads.empty())
    return result;
  std::sort(spreads.begin(), spreads.end());
  result.WidestMs = spreads.back();
  result.P99Ms = spreads[spreads.size() * 99 / 100];
  result.Ok = true;
  return result;
}

void Report(benchmark::State& state, const ShowResult& result) {
  if (!result.Ok)
    state.SkipWithError("the show did not play");
  state.counters["cpu_pct"] = result.CpuPct;
  state.counters["underruns"] = result.Underruns;
  state.counters["underruns_in_own_pause"] = result.UnderrunsInOwnPause;
  state.counters["widest_ms"] = result.WidestMs;
  state.counters["widest_p99_ms"] = result.P99Ms;
}

void BM_FourProjectors(benchmark::State& state) {
  QTemporaryDir dir;
  for (auto _ : state) {
    Projector fast(true, "127.0.0.2", dir.path().toStdString(), "900");
    Projector slow(true, "127.0.0.3", dir.path().toStdString(), "-900");
    Projector idnOne(false, "127.0.0.4", dir.path().toStdString(), "0");
    Projector idnTwo(false, "127.0.0.5", dir.path().toStdString(), "0");
    Report(state, PlayShow({&fast, &slow, &idnOne, &idnTwo}, 67, 500, 15000));
  }
}

void BM_HeaviestOnTwo(benchmark::State& state) {
  QTemporaryDir dir;
  for (auto _ : state) {
    Projector etherDream(true, "127.0.0.2", dir.path().toStdString(), "0");
    Projector idn(false, "127.0.0.4", dir.path().toStdString(), "0");
    Report(state, PlayShow({&etherDream, &idn}, 30, 16000, 48000));
  }
}

BENCHMARK(BM_FourProjectors)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_HeaviestOnTwo)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
