// The IDN back-end against whorlgen-dac-emulator --idn over 127.0.0.1: what
// the unit receives, at which rate, and how failures end a run.

#include <gtest/gtest.h>

#include <atomic>
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
#include "lasers/idn_dac.h"
#include "lasers/scan_addresses.h"
#include "tests/loopback_listener.h"
#include "tests/temp_dir.h"

namespace whorlgen::lasers {

using output::DacDriver;
using output::DacFailure;
using output::DacInfo;
using output::DeviceState;
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Chunk {
  std::uint32_t Duration_us;
  std::vector<engine::LaserPoint> Samples;  // X and Y as sent on the wire
};

// One emulator on a port of its own choosing, stopped at the end.
class IdnEmulator {
 public:
  explicit IdnEmulator(std::vector<std::string> extra)
      : process_(WHORLGEN_DAC_EMULATOR, Args(dir_, extra), dir_ / "stats") {}
  ~IdnEmulator() { process_.Stop(); }

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

  testing::TempDir temp_;
  const fs::path dir_ = temp_.Path();
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

// X and Y as the stream carries them: signed 16-bit, codes 0 and 4095 at
// -32768 and 32752.
std::int16_t Wire(std::int16_t code) {
  return static_cast<std::int16_t>(code * 16 - 32768);
}

bool Dark(const engine::LaserPoint& p) {
  return p.R == 0 && p.G == 0 && p.B == 0;
}

// A scan asks the listed addresses and the added ones, but only those that
// WHORLGEN_SCAN_ADDRESSES lists; added units that do not answer stay listed.
TEST(IdnTest, ScanAsksOnlyListedAddressesAndKeepsAddedOnesThatDoNotAnswer) {
  setenv("WHORLGEN_SCAN_ADDRESSES", "127.0.0.1", 1);  // never a broadcast from a test
  IdnEmulator unit({});
  IdnFamily family(unit.Port());
  const testing::LoopbackListener silent(SOCK_DGRAM, "127.0.0.1");
  const testing::LoopbackListener unlisted(SOCK_DGRAM, "127.0.0.2");
  ASSERT_EQ(family.AddAddress(silent.Address()), silent.Address());
  ASSERT_EQ(family.AddAddress(unlisted.Address()), unlisted.Address());
  EXPECT_EQ(family.AddAddress("stage.local"), std::nullopt);
  family.Scan();
  EXPECT_TRUE(silent.Reached());
  EXPECT_FALSE(unlisted.Reached()) << "asked an address the scan list leaves out";
  const std::vector<DacInfo> devices = family.Devices();
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].Name, "IDN stage-left");
  EXPECT_EQ(devices[0].Address, unit.Address());
  EXPECT_EQ(devices[0].State, DeviceState::Idle);
  EXPECT_EQ(devices[1].Name, "IDN " + silent.Address());
  EXPECT_EQ(devices[1].State, DeviceState::Unreachable);
}

TEST(ScanAddresses, TakesTheAddressesOfACommaSeparatedListAndSkipsTheRest) {
  const std::vector<in_addr> listed = ParseAddressList(" 127.0.0.1 ,stage.local,,\t127.0.0.3\t");
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(ntohl(listed[0].s_addr), 0x7F000001u);
  EXPECT_EQ(ntohl(listed[1].s_addr), 0x7F000003u);
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
      ASSERT_EQ(p.X, Wire(want.X)) << next;
      ASSERT_EQ(p.Y, Wire(want.Y)) << next;
      ASSERT_EQ(p.R, want.R);
      ASSERT_EQ(p.G, want.G);
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

// The silence is measured from the first request for an acknowledgement: a
// unit that never acknowledges ends the run as surely as one that falls
// silent, each in its own words.
TEST(IdnTest, AUnitThatFallsSilentOrNeverAcknowledgesEndsTheRunInWords) {
  struct Case {
    std::vector<std::string> fault;
    std::string message;
  };
  const Case cases[] = {
      {{"--fault", "silent", "--fault-after", "3000"},
       "IDN stage-left stopped answering for 300 ms: the connection is lost."},
      {{"--fault", "no-ack"},
       "IDN stage-left never acknowledged the stream in 300 ms: is it an IDN projector, and "
       "does UDP port 7255 pass both ways?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault[1]);
    IdnEmulator unit(c.fault);
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
    EXPECT_EQ(*failure, c.message);
    EXPECT_EQ(driver->CloseDac(), std::nullopt) << "told once";
  }
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

// Lit points only, each frame at its own height, so every sample tells
// where it came from.
engine::FrameData LitFrame(std::size_t points, std::int16_t y) {
  engine::FrameData frame;
  for (std::size_t i = 0; i < points; ++i)
    frame.FrameBuffer.push_back({static_cast<std::int16_t>(i % 4096), y, 255, 128, 64, 255});
  return frame;
}

// The stream starts with the frames back to back (the first is shorter than
// the lead), no message carries less than 200 us of samples (open receiver
// firmware drops those), and frames held up for 60 ms are bridged with dark
// points: the unit never runs dry.
TEST(IdnTest, StartsBackToBackInChunksOfAtLeast200usAndBridgesAStall) {
  IdnEmulator unit({});
  DacFailure failure;
  auto driver = Open(unit.Address(), failure);
  ASSERT_EQ(failure, std::nullopt);
  std::vector<engine::LaserPoint> sent;
  for (std::int16_t f = 0; f < 6; ++f) {
    // Each frame takes a few milliseconds to build; one is held up 60 ms.
    std::this_thread::sleep_for(f == 3 ? 60ms : 3ms);
    const engine::FrameData frame = LitFrame(1500, static_cast<std::int16_t>(100 * (f + 1)));
    sent.insert(sent.end(), frame.FrameBuffer.begin(), frame.FrameBuffer.end());
    ASSERT_EQ(driver->SendFrame(frame, 48000), std::nullopt);
  }
  EXPECT_EQ(driver->CloseDac(), std::nullopt);
  unit.Stop();
  std::vector<engine::LaserPoint> received;
  for (const Chunk& chunk : unit.Record()) {
    EXPECT_GE(chunk.Duration_us, 200u) << "after " << received.size() << " samples";
    received.insert(received.end(), chunk.Samples.begin(), chunk.Samples.end());
  }
  ASSERT_GE(received.size(), 3000u);
  for (std::size_t i = 0; i < 3000; ++i) {
    ASSERT_EQ(received[i].X, Wire(sent[i].X)) << "sample " << i;
    ASSERT_EQ(received[i].Y, Wire(sent[i].Y)) << "sample " << i;
    ASSERT_EQ(received[i].G, sent[i].G) << "sample " << i;
  }
  EXPECT_EQ(unit.Report().at("underruns"), "0");
}

// At 15,000 points a second 200 us are 3 samples.
TEST(IdnTest, ChunksNeverLeaveLessThan200usOfARunBehind) {
  const auto samples = [](std::initializer_list<std::pair<std::size_t, std::int32_t>> runs) {
    std::vector<StreamPoint> out;
    for (const auto& [count, rate] : runs)
      out.insert(out.end(), count, StreamPoint{{}, rate, false, false});
    return out;
  };
  // A run ending a sample after a full message is split so both parts last.
  EXPECT_EQ(IdnChunkSamples(samples({{181, 15000}, {5, 30000}}), true, 180), 178u);
  // A run that may go on keeps 200 us back, or waits while it has less.
  EXPECT_EQ(IdnChunkSamples(samples({{100, 15000}}), true, 100), 97u);
  EXPECT_EQ(IdnChunkSamples(samples({{5, 15000}}), true, 1), 0u);
  // What is known to end goes whole, however short (the sender pads it).
  EXPECT_EQ(IdnChunkSamples(samples({{2, 15000}, {10, 30000}}), true, 1), 2u);
  EXPECT_EQ(IdnChunkSamples(samples({{5, 15000}}), false, 1), 5u);
  // Asked for less than 200 us, a chunk still carries that much.
  EXPECT_EQ(IdnChunkSamples(samples({{50, 15000}}), false, 1), 3u);
}

// Interrupt ends the waits at once: the open's wait for a unit that never
// answers, and a run's stream, which ends on a short dark stretch and the
// channel's close.
TEST(IdnTest, InterruptEndsTheWaitsAndTheStreamEndsDark) {
  const auto interruptAfter = [](DacDriver& driver, std::atomic<bool>& interrupted) {
    return std::thread([&] {
      std::this_thread::sleep_for(200ms);
      interrupted = true;
      driver.Interrupt();
    });
  };
  {
    IdnEmulator silent({"--fault", "silent"});
    DacInfo unit;
    unit.Name = "IDN stage-left";
    unit.Address = silent.Address();
    auto driver = MakeIdnDriver(unit, {.AnswerWait = 5s});
    std::atomic<bool> interrupted{false};
    std::thread stopper = interruptAfter(*driver, interrupted);
    engine::GeneratorState generator;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(driver->OpenDac(generator).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms + 2s);
    stopper.join();
  }
  IdnEmulator unit({});
  DacFailure failure;
  auto driver = Open(unit.Address(), failure);
  ASSERT_EQ(failure, std::nullopt);
  std::atomic<bool> interrupted{false};
  std::thread stopper = interruptAfter(*driver, interrupted);
  const auto start = std::chrono::steady_clock::now();
  for (std::int16_t y = 0; !interrupted; y = static_cast<std::int16_t>((y + 1) % 4096))
    ASSERT_EQ(driver->SendFrame(LitFrame(2000, y), 48000), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms + 2s);
  stopper.join();
  const auto closing = std::chrono::steady_clock::now();
  driver->CloseDac();
  EXPECT_LT(std::chrono::steady_clock::now() - closing, 1s);
  unit.Stop();
  EXPECT_EQ(unit.Report().at("closes"), "1");
  EXPECT_TRUE(Dark(unit.Record().back().Samples.back())) << "the stream ends dark";
}

}  // namespace
}  // namespace whorlgen::lasers
