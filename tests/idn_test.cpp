// The IDN back-end against whorlgen-dac-emulator --idn over 127.0.0.1: what
// the unit receives, at which rate, and how failures end a run.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "emulators/emulator_process.h"
#include "output/idn_dac.h"
#include "output/wire_point.h"

namespace whorlgen::output {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Chunk {
  std::uint32_t Duration_us;
  std::vector<engine::LaserPoint> Samples;  // X and Y as sent on the wire
};

fs::path FreshDirectory() {
  static int count = 0;
  const fs::path dir = fs::temp_directory_path() /
                       ("whorlgen-idn-" + std::to_string(getpid()) + "-" + std::to_string(count++));
  fs::create_directories(dir);
  return dir;
}

// One emulator on a port of its own choosing, stopped at the end.
class IdnEmulator {
 public:
  explicit IdnEmulator(std::vector<std::string> extra)
      : dir_(FreshDirectory()),
        process_(WHORLGEN_DAC_EMULATOR, Args(dir_, extra), dir_ / "stats") {}
  ~IdnEmulator() {
    process_.Stop();
    fs::remove_all(dir_);
  }

  std::string Address() const { return "127.0.0.1:" + Report()["port"]; }
  std::uint16_t Port() const { return static_cast<std::uint16_t>(std::stoi(Report()["port"])); }
  // The report so far; the final one once stopped.
  std::map<std::string, std::string> Report() const {
    std::map<std::string, std::string> report;
    std::ifstream in(dir_ / "stats");
    for (std::string line; std::getline(in, line);)
      report[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    return report;
  }
  void Stop() { process_.Stop(); }
  std::vector<Chunk> Record() const {
    std::ifstream in(dir_ / "record", std::ios::binary);
    const std::vector<unsigned char> b{std::istreambuf_iterator<char>(in), {}};
    auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]); };
    std::vector<Chunk> chunks;
    for (std::size_t at = 0; at + 6 <= b.size();) {
      Chunk chunk{static_cast<std::uint32_t>(b[at + 3] << 16 | u16(at + 4)), {}};
      const std::size_t count = u16(at);
      at += 6;
      for (std::size_t i = 0; i < count; ++i, at += 7) {
        chunk.Samples.push_back({static_cast<std::int16_t>(u16(at)),
                                 static_cast<std::int16_t>(u16(at + 2)), b[at + 4], b[at + 5],
                                 b[at + 6], 0});
      }
      chunks.push_back(chunk);
    }
    return chunks;
  }

 private:
  static std::vector<std::string> Args(const fs::path& dir, std::vector<std::string> extra) {
    std::vector<std::string> args{
        "--idn", "--port", "0", "--name", "stage-left", "--record", (dir / "record").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  fs::path dir_;
  emulators::EmulatorProcess process_;
};

std::unique_ptr<DacDriver> Open(const std::string& address, DacFailure& failure,
                                IdnTiming timing = {}) {
  DacInfo unit;
  unit.Name = "IDN stage-left";
  unit.Kind = "IDN";
  unit.Address = address;
  auto driver = MakeIdnDriver(unit, timing);
  engine::GeneratorState generator;
  failure = driver->OpenDac(generator);
  return driver;
}

bool Dark(const engine::LaserPoint& p) {
  return p.R == 0 && p.G == 0 && p.B == 0;
}

TEST(IdnTest, ScanNamesTheUnitAndKeepsAddedAddressesThatDoNotAnswer) {
  setenv("WHORLGEN_SCAN_ADDRESSES", "127.0.0.1", 1);  // never a broadcast from a test
  IdnEmulator unit({});
  IdnFamily family(unit.Port());
  // The discard port: nobody answers there.
  ASSERT_EQ(family.AddAddress("127.0.0.1:9"), "127.0.0.1:9");
  EXPECT_EQ(family.AddAddress("stage.local"), std::nullopt);
  family.Scan();
  const std::vector<DacInfo> devices = family.Devices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].Name, "IDN stage-left");
  EXPECT_EQ(devices[0].Address, unit.Address());
  EXPECT_EQ(devices[0].State, DeviceState::Idle);
  EXPECT_EQ(devices[1].Name, "IDN 127.0.0.1:9");
  EXPECT_EQ(devices[1].State, DeviceState::Unreachable);
}

// The generator's points come back exactly, each at its frame's rate, the
// rate change lands on the frame boundary, and a dark lead-out at the last
// position ends the stream before the channel is closed; the configuration
// goes out again all along.
TEST(IdnTest, FramesArriveExactlyAtTheirRatesThenADarkLeadOut) {
  IdnEmulator unit({});
  DacFailure failure;
  auto driver = Open(unit.Address(), failure, {.Lead = 60ms, .ConfigEvery = 20ms});
  ASSERT_EQ(failure, std::nullopt);
  engine::PatternParameters params = engine::StartupParameters();
  engine::GeneratorState generator;
  engine::FrameData frame;
  std::vector<std::pair<engine::LaserPoint, std::int32_t>> sent;
  for (int i = 0; i < 6; ++i) {
    params.PointsPerSec = i < 3 ? 15000 : 30000;
    engine::BuildFrame(params, generator, 2, true, frame);
    for (const engine::LaserPoint& p : frame.FrameBuffer)
      sent.emplace_back(p, params.PointsPerSec);
    ASSERT_EQ(driver->SendFrame(frame, params.PointsPerSec), std::nullopt);
  }
  EXPECT_EQ(driver->CloseDac(), std::nullopt);
  unit.Stop();
  const auto report = unit.Report();

  std::size_t next = 0;
  engine::LaserPoint last{};
  for (const Chunk& chunk : unit.Record()) {
    for (const engine::LaserPoint& p : chunk.Samples) {
      if (Dark(p)) {
        if (next == sent.size()) {
          EXPECT_EQ(p.X, last.X);
          EXPECT_EQ(p.Y, last.Y);
        }
        continue;
      }
      ASSERT_LT(next, sent.size()) << "more lit points than were sent";
      const auto& [want, rate] = sent[next++];
      ASSERT_EQ(p.X, WireCoordinate(want.X)) << next;
      ASSERT_EQ(p.Y, WireCoordinate(want.Y)) << next;
      ASSERT_EQ(p.R, want.R);
      ASSERT_EQ(p.B, want.B);
      // A chunk plays at one rate: its duration is its points at that rate.
      const double expected_us = 1e6 * static_cast<double>(chunk.Samples.size()) / rate;
      ASSERT_NEAR(chunk.Duration_us, expected_us, 1.0) << next;
      last = p;
    }
  }
  EXPECT_EQ(next, sent.size());
  EXPECT_TRUE(Dark(unit.Record().back().Samples.back())) << "the stream ends dark";
  EXPECT_EQ(report.at("underruns"), "0");
  EXPECT_EQ(report.at("malformed"), "0");
  EXPECT_EQ(report.at("sequence_gaps"), "0");
  EXPECT_EQ(report.at("closes"), "1");
  // About 200 ms of stream: the configuration went out again and again.
  EXPECT_GE(std::stoi(report.at("configurations")), 5);
}

TEST(IdnTest, AUnitThatFallsSilentEndsTheRunInWords) {
  IdnEmulator unit({"--fault", "silent", "--fault-after", "3000"});
  DacFailure failure;
  auto driver = Open(unit.Address(), failure, {.ConfigEvery = 50ms, .SilenceLimit = 300ms});
  ASSERT_EQ(failure, std::nullopt);
  engine::PatternParameters params = engine::StartupParameters();
  engine::GeneratorState generator;
  engine::FrameData frame;
  for (int i = 0; i < 100 && !failure; ++i) {
    engine::BuildFrame(params, generator, 2, true, frame);
    failure = driver->SendFrame(frame, params.PointsPerSec);
  }
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(*failure, "IDN stage-left stopped answering for 300 ms: the connection is lost.");
  EXPECT_EQ(driver->CloseDac(), std::nullopt) << "told once";
}

TEST(IdnTest, ABusyOrAbsentUnitIsToldAtTheStart) {
  IdnEmulator busy({"--fault", "busy"});
  DacFailure failure;
  Open(busy.Address(), failure);
  EXPECT_EQ(failure, "IDN stage-left is busy with another computer.");

  const std::string address = busy.Address();
  busy.Stop();
  Open(address, failure);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(*failure,
            "IDN stage-left at " + address + " refused the stream: nothing listens there.");
}

}  // namespace
}  // namespace whorlgen::output
