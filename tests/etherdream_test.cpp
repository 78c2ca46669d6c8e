// The Ether Dream back-end driven by the run loop against the emulator over
// 127.0.0.1: what the unit plays, and how every failure ends a run.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "emulators/emulator_process.h"
#include "lasers/etherdream_family.h"
#include "output/dac_catalog.h"
#include "output/run_loop.h"
#include "tests/ilda_test_reader.h"
#include "tests/loopback_listener.h"
#include "tests/run_test_support.h"
#include "tests/temp_dir.h"

namespace whorlgen::lasers {

using output::DacDriver;
using output::DacFailure;
using output::DacInfo;
using output::DeviceState;
using output::FrameSettings;
using output::RunLoop;
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The Ether Dream emulator, recording every point it plays.
class Emulator : public emulators::EmulatorProcess {
 public:
  Emulator(const fs::path& dir, std::uint16_t tcpPort, std::vector<std::string> extra)
      : EmulatorProcess(WHORLGEN_DAC_EMULATOR, Args(dir, tcpPort, extra),
                        dir / ("stats-" + std::to_string(tcpPort))),
        record_(dir / "record") {}

  // Every played point: 18 bytes as received, then the rate it played at.
  struct Played {
    std::uint16_t Control;
    std::int16_t X, Y;
    std::uint16_t R, G, B, I;
    std::uint32_t Rate;
  };
  std::vector<Played> Record() const {
    const std::vector<unsigned char> bytes = ReadWholeFile(record_);
    std::vector<Played> played;
    auto u16 = [&](std::size_t at) {
      return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
    };
    for (std::size_t at = 0; at + 22 <= bytes.size(); at += 22) {
      played.push_back({u16(at), static_cast<std::int16_t>(u16(at + 2)),
                        static_cast<std::int16_t>(u16(at + 4)), u16(at + 6), u16(at + 8),
                        u16(at + 10), u16(at + 12),
                        static_cast<std::uint32_t>(u16(at + 18)) | u16(at + 20) << 16});
    }
    return played;
  }

 private:
  static std::vector<std::string> Args(const fs::path& dir, std::uint16_t tcpPort,
                                       std::vector<std::string> extra) {
    fs::remove(dir / "record");
    std::vector<std::string> args{"--etherdream", "--port", std::to_string(tcpPort), "--record",
                                  (dir / "record").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  fs::path record_;
};

class Host : public testing::TellingHost {
 public:
  std::function<void()> events;
  std::vector<std::pair<std::vector<engine::LaserPoint>, std::int32_t>> frames;  // as sent
  engine::PatternParameters* params = nullptr;
  std::string caption;

  void SetTotalFramesCaption(const std::string& text) override { caption = text; }
  bool IldaOutputChecked() const override { return true; }
  FrameSettings CurrentFrameSettings() const override {
    return {.OpMode = 2, .LimitVelocity = true, .ShowDots = false};
  }
  // The events of the moment after each frame.
  void DrawPreview(const engine::FrameData& frame, bool /*showDots*/) override {
    frames.emplace_back(frame.FrameBuffer, params->PointsPerSec);
    if (events)
      events();
  }
};

class EtherDreamTest : public ::testing::Test, protected testing::RunState {
 protected:
  void SetUp() override {
    setenv("WHORLGEN_SCAN_ADDRESSES", "127.0.0.1", 1);
    host_.params = &params_;
    loop_.IldaDirectory = dir_.string();
    loop_.MakeDriver = [this](const std::string& name) { return family_->MakeDriver(Find(name)); };
    // Short limits keep the stall cases quick; the rules are the same.
    family_->Timing = {500ms, 500ms, 500ms};
  }
  DacInfo Find(const std::string& name) {
    for (const DacInfo& dac : family_->Devices()) {
      if (dac.Name == name)
        return dac;
    }
    return {};
  }

  // The unit added by address, as the operator would for a routed network.
  std::string AddedUnit() {
    EXPECT_TRUE(family_->AddAddress("127.0.0.1:" + std::to_string(tcpPort_)).has_value());
    return "Ether Dream 127.0.0.1:" + std::to_string(tcpPort_);
  }

  // Start, and the panel's events until the run has ended.
  void Run() {
    loop_.cmdStart_Click();
    host_.queue.RunWhile([this] { return loop_.InRun(); });
  }

  // A run that goes on until the back-end ends it (or `frames` frames).
  void RunUntilItEnds(int frames) {
    host_.events = [this, frames, count = 0]() mutable {
      if (++count == frames)
        loop_.cmdStop_Click();
    };
    Run();
  }

  // A run that recorded no frame (the unit refused it at once) leaves no file.
  void ExpectValidRecording() {
    if (loop_.TotalFrames() == 0) {
      EXPECT_FALSE(fs::exists(ilda_.FilePath()));
      return;
    }
    const auto sections = IldaSections(ilda_.FilePath());
    ASSERT_FALSE(sections.empty());
    EXPECT_EQ(static_cast<int>(sections.size()) - 1, loop_.TotalFrames());
  }

  testing::TempDir temp_;
  const fs::path dir_ = temp_.Path();
  std::uint16_t tcpPort_ = emulators::FreeLoopbackPort(SOCK_STREAM);
  std::uint16_t listenPort_ = emulators::FreeLoopbackPort(SOCK_DGRAM);
  std::unique_ptr<EtherDreamFamily> family_ =
      std::make_unique<EtherDreamFamily>(EtherDreamFamily::Ports{listenPort_, tcpPort_});
  Host host_;
  RunLoop loop_{host_, Context()};
};

// A point's fields as the unit takes them: X and Y signed 16-bit, codes 0
// and 4095 at -32768 and 32752; colours 16-bit, level 255 at 65535.
std::int16_t Wire(std::int16_t code) {
  return static_cast<std::int16_t>(code * 16 - 32768);
}
std::uint16_t Level(std::uint8_t level) {
  return static_cast<std::uint16_t>(level << 8 | level);
}

bool Dark(const Emulator::Played& p) {
  return p.R == 0 && p.G == 0 && p.B == 0 && p.I == 0;
}

// Found by its announcement; the frames play exactly as built, in order, at
// their rates, the rate bit on the first point at a new rate; a pause of the
// panel is filled with dark points where the beam stood; the run ends on a
// dark lead-out, with no underrun.
TEST_F(EtherDreamTest, PlaysTheFramesExactlyWithRateChangeGapAndLeadOut) {
  Emulator unit(dir_, tcpPort_,
                {"--announce-to", "127.0.0.1", "--announce-port", std::to_string(listenPort_)});
  const std::string name = "Ether Dream 3a:4f:12";
  for (int i = 0; i < 300 && Find(name).Name.empty(); ++i)
    std::this_thread::sleep_for(10ms);
  const DacInfo found = Find(name);
  EXPECT_EQ(found.Address, "127.0.0.1:" + std::to_string(tcpPort_));
  EXPECT_EQ(found.State, DeviceState::Idle);

  loop_.DacName = name;
  host_.events = [this, count = 0]() mutable {
    ++count;
    if (count == 2)
      std::this_thread::sleep_for(300ms);  // a modal box: no frame for a while
    if (count == 3)
      params_.PointsPerSec = 30000;
    if (count == 6)
      loop_.cmdStop_Click();
  };
  Run();
  EXPECT_TRUE(host_.told.empty()) << host_.told.front();
  ExpectValidRecording();
  auto report = unit.Stop();
  EXPECT_EQ(report["underruns"], "0");
  EXPECT_EQ(report["naks"], "0");
  EXPECT_EQ(report["rates"], "15000,30000");

  const auto played = unit.Record();
  std::size_t at = 0;
  std::size_t darkAfterSecond = 0;
  ASSERT_EQ(host_.frames.size(), 6u);
  for (std::size_t f = 0; f < host_.frames.size(); ++f) {
    const auto& [points, rate] = host_.frames[f];
    const std::size_t gapStart = at;
    while (at < played.size() && Dark(played[at])) {
      if (f > 0) {  // dark where the previous frame ended
        EXPECT_EQ(played[at].X, Wire(host_.frames[f - 1].first.back().X));
        EXPECT_EQ(played[at].Y, Wire(host_.frames[f - 1].first.back().Y));
      }
      ++at;
    }
    if (f == 2)
      darkAfterSecond = at - gapStart;
    ASSERT_GE(played.size(), at + points.size()) << "frame " << f << " not played whole";
    for (std::size_t i = 0; i < points.size(); ++i, ++at) {
      const auto& p = points[i];
      const auto& q = played[at];
      ASSERT_EQ(q.X, Wire(p.X)) << "frame " << f << " point " << i;
      ASSERT_EQ(q.Y, Wire(p.Y));
      ASSERT_EQ(q.R, Level(p.R));
      ASSERT_EQ(q.G, Level(p.G));
      ASSERT_EQ(q.B, Level(p.B));
      ASSERT_EQ(q.I, Level(p.I));
      ASSERT_EQ(q.Rate, static_cast<std::uint32_t>(rate));
      ASSERT_EQ(q.Control, (f == 3 && i == 0) ? 0x8000 : 0) << "frame " << f << " point " << i;
    }
  }
  EXPECT_GT(darkAfterSecond, 0u) << "the pause was not filled with dark points";
  ASSERT_LT(at, played.size()) << "no lead-out";
  for (; at < played.size(); ++at)
    ASSERT_TRUE(Dark(played[at]));
}

// Each failure ends the run through its end steps, in words that name the
// unit and the reason, with the recording whole; the next Start tries again.
TEST_F(EtherDreamTest, EveryFailureEndsTheRunInWords) {
  const std::string name = AddedUnit();
  loop_.DacName = name;
  struct Case {
    std::vector<std::string> fault;  // empty: no emulator at all
    const char* reason;
  };
  const Case cases[] = {
      {{}, "refused the connection"},
      {{"--fault", "busy"}, "busy with another computer"},
      {{"--fault", "drop", "--fault-after", "3000"}, "connection was lost"},
      {{"--fault", "slow", "--fault-after", "3000"}, "took no points"},
      {{"--fault", "withhold-ack", "--fault-after", "3000"}, "did not answer"},
      {{"--fault", "nak", "--fault-after", "3000"}, "NAK 'I'"},
      {{"--fault", "estop", "--fault-after", "3000"}, "emergency stop"},
      {{"--fault", "wrong-echo", "--fault-after", "3000"}, "out of step"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    std::unique_ptr<Emulator> unit;
    if (!c.fault.empty())
      unit = std::make_unique<Emulator>(dir_, tcpPort_, c.fault);
    host_.told.clear();
    RunUntilItEnds(2000);
    ASSERT_EQ(host_.told.size(), 1u);
    EXPECT_NE(host_.told[0].find(name), std::string::npos) << host_.told[0];
    EXPECT_NE(host_.told[0].find(c.reason), std::string::npos) << host_.told[0];
    const std::string address = "127.0.0.1:" + std::to_string(tcpPort_);
    EXPECT_EQ(host_.told[0].find(address, host_.told[0].find(address) + 1), std::string::npos)
        << "the address is told twice: " << host_.told[0];
    EXPECT_LT(loop_.TotalFrames(), 2000);
    ExpectValidRecording();
  }

  Emulator healthy(dir_, tcpPort_, {});
  host_.told.clear();
  RunUntilItEnds(5);
  EXPECT_TRUE(host_.told.empty()) << host_.told.front();
  EXPECT_EQ(healthy.Stop()["underruns"], "0");
}

// The listener says so when its port is taken; an added address is probed
// only on Scan, only when WHORLGEN_SCAN_ADDRESSES lists it, and is listed
// with what the probe found.
TEST_F(EtherDreamTest, TakenPortAndAddedAddresses) {
  const int holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(listenPort_);
  family_.reset();
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  EtherDreamFamily deaf(EtherDreamFamily::Ports{listenPort_, tcpPort_});
  EXPECT_NE(deaf.ListenProblem().find("UDP port " + std::to_string(listenPort_)),
            std::string::npos);
  close(holder);

  EXPECT_FALSE(deaf.AddAddress("not an address").has_value());
  EXPECT_FALSE(deaf.AddAddress("127.0.0.1:70000").has_value());
  ASSERT_TRUE(deaf.AddAddress("127.0.0.1:" + std::to_string(tcpPort_)).has_value());
  const testing::LoopbackListener unlisted(SOCK_STREAM, "127.0.0.2");
  ASSERT_TRUE(deaf.AddAddress(unlisted.Address()).has_value());
  ASSERT_EQ(deaf.Devices().size(), 2u);
  EXPECT_EQ(deaf.Devices()[0].State, DeviceState::NotChecked);
  deaf.Scan();
  EXPECT_EQ(deaf.Devices()[0].State, DeviceState::Unreachable);
  EXPECT_FALSE(unlisted.Reached()) << "probed an address the scan list leaves out";
  EXPECT_EQ(deaf.Devices()[1].State, DeviceState::NotChecked);
  Emulator unit(dir_, tcpPort_, {});
  deaf.Scan();
  EXPECT_EQ(deaf.Devices()[0].State, DeviceState::Idle);
}

// ---- The back-end driven directly, as the run's own thread drives it ----

EtherDreamTarget TargetAt(std::uint16_t port, std::size_t capacity = 1800) {
  EtherDreamTarget target;
  target.Name = "Ether Dream test";
  target.Address.sin_family = AF_INET;
  target.Address.sin_port = htons(port);
  target.Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  target.Capacity = capacity;
  return target;
}

struct Streamed {
  DacFailure Failure;
  int Frames = 0;
  double Seconds = 0.0;
};

// Start-up frames at `rate` until `duration` has passed, the driver fails
// or `keepGoing` (asked before each frame) says no.
Streamed StreamFor(
    DacDriver& driver, std::chrono::milliseconds duration, std::int32_t rate,
    const std::function<bool()>& keepGoing = [] { return true; }) {
  engine::PatternParameters params = engine::StartupParameters();
  params.PointsPerSec = rate;
  engine::GeneratorState generator;
  engine::FrameData frame;
  Streamed streamed;
  const auto start = Clock::now();
  while (Clock::now() - start < duration && !streamed.Failure && keepGoing()) {
    engine::BuildFrame(params, generator, 2, true, frame);
    streamed.Failure = driver.SendFrame(frame, rate);
    ++streamed.Frames;
  }
  streamed.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return streamed;
}

class EtherDreamDriverTest : public ::testing::Test {
 protected:
  std::unique_ptr<EtherDreamDriver> Open(EtherDreamTiming timing = {},
                                         std::size_t capacity = 1800) {
    auto driver = std::make_unique<EtherDreamDriver>(TargetAt(port_, capacity), timing);
    engine::GeneratorState generator;
    EXPECT_EQ(driver->OpenDac(generator), std::nullopt);
    return driver;
  }

  testing::TempDir temp_;
  const fs::path dir_ = temp_.Path();
  std::uint16_t port_ = emulators::FreeLoopbackPort(SOCK_STREAM);
};

// At 48,000 points a second the whole buffer lasts 37.5 ms. Replies held
// back 20 ms now and then (as a stalled computer would wait) must find at
// least that much still in the unit.
TEST_F(EtherDreamDriverTest, KeepsTheUnitNearlyFullAtHighRates) {
  Emulator unit(dir_, port_,
                {"--fault", "late-replies", "--late-ms", "20", "--late-every-ms", "150"});
  auto driver = Open();
  const Streamed streamed = StreamFor(*driver, 1500ms, 48000);
  EXPECT_EQ(streamed.Failure, std::nullopt);
  EXPECT_EQ(driver->CloseDac(), std::nullopt);
  auto report = unit.Stop();
  EXPECT_EQ(std::stoi(report["underruns"]) - std::stoi(report["underruns_in_own_pause"]), 0)
      << "underruns after points " << report["underruns_after_points"];
}

// A unit that runs dry is prepared and begun again, whether it flags the
// underflow or only turns data away while idle, and the run goes on.
TEST_F(EtherDreamDriverTest, RestartsAUnitThatRanDryFlaggedOrNot) {
  const std::vector<std::string> faults[] = {
      {"--fault", "dry-unflagged", "--fault-after", "3000"},
      {"--fault", "late-replies", "--fault-after", "3000", "--late-ms", "300", "--late-every-ms",
       "100000"},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault[1]);
    Emulator unit(dir_, port_, fault);
    auto driver = Open();
    const Streamed streamed = StreamFor(*driver, 1200ms, 48000);
    EXPECT_EQ(streamed.Failure, std::nullopt);
    EXPECT_NE(driver->StatusNote().find("ran dry and was restarted"), std::string::npos)
        << driver->StatusNote();
    EXPECT_EQ(driver->CloseDac(), std::nullopt);
    EXPECT_GE(std::stoi(unit.Stop()["prepares"]), 2);
  }
}

// Whatever a unit reports, no more points go out than its capacity plus the
// elapsed time at the point rate, so frames come no faster than they play;
// the unit whose reports contradict the clock is named.
TEST_F(EtherDreamDriverTest, NoRunOutpacesItsPointRateWhateverTheUnitReports) {
  for (const char* fault : {"zero-buffer", "underflow-every-reply"}) {
    SCOPED_TRACE(fault);
    Emulator unit(dir_, port_, {"--fault", fault});
    auto driver = Open();
    const Streamed streamed = StreamFor(*driver, 1000ms, 15000);
    EXPECT_EQ(streamed.Failure, std::nullopt);
    const double framePoints = static_cast<double>(engine::StartupParameters().PointsPerFrame);
    const double allowed = (1800 + 15000 * streamed.Seconds * 1.01) / framePoints + 2;
    EXPECT_LE(streamed.Frames, allowed);
    const std::string note = driver->StatusNote();
    EXPECT_NE(note.find("Ether Dream test's reports contradict the computer's clock"),
              std::string::npos)
        << note;
    driver->CloseDac();
  }
}

// A unit that takes points one at a time cannot play the run's rate: the run
// ends within a few seconds, in words that name it.
TEST_F(EtherDreamDriverTest, AUnitThatCannotKeepUpEndsTheRunInWords) {
  Emulator unit(dir_, port_, {"--fault", "trickle"});
  auto driver = Open();
  const Streamed streamed = StreamFor(*driver, 10s, 15000);
  ASSERT_TRUE(streamed.Failure.has_value());
  EXPECT_LT(streamed.Seconds, 6.0);
  EXPECT_EQ(streamed.Failure->rfind("Ether Dream test took ", 0), 0u) << *streamed.Failure;
  driver->CloseDac();
}

// Interrupt ends every wait within tens of milliseconds, whatever the unit
// does, and CloseDac still stops it (after a short dark lead-out when it
// plays on).
TEST_F(EtherDreamDriverTest, InterruptEndsEveryWaitAndLeavesTheUnitDark) {
  const EtherDreamTiming patient{5s, 5s, 5s};
  struct Case {
    std::vector<std::string> fault;
    bool answersStop;  // the unit still carries out a stop
  };
  const Case cases[] = {
      {{"--fault", "withhold-ack"}, false},                  // never answers the connection
      {{"--fault", "slow", "--fault-after", "3000"}, true},  // never takes points again
      {{"--fault", "trickle"}, false},                       // answers prepare 1.5 s late
      {{}, true},                                            // plays on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault.empty() ? "healthy" : c.fault[1]);
    fs::remove(dir_ / "record");
    Emulator unit(dir_, port_, c.fault);
    EtherDreamDriver driver(TargetAt(port_), patient);
    std::atomic<bool> interrupted{false};
    const auto start = Clock::now();
    std::thread stopper([&] {
      std::this_thread::sleep_for(300ms);
      interrupted = true;
      driver.Interrupt();
    });
    engine::GeneratorState generator;
    if (!driver.OpenDac(generator))
      StreamFor(driver, 10s, 48000, [&] { return !interrupted; });
    const auto waited = Clock::now() - start;
    stopper.join();
    EXPECT_LT(waited, 300ms + 2s);  // ten seconds without the interrupt
    const auto closing = Clock::now();
    driver.CloseDac();
    EXPECT_LT(Clock::now() - closing, 1s);
    auto report = unit.Stop();
    EXPECT_EQ(report["connected"], "0");
    if (c.answersStop) {
      EXPECT_EQ(report["stops"], "1");
    }
    if (c.fault.empty()) {
      const auto played = unit.Record();
      ASSERT_FALSE(played.empty());
      EXPECT_TRUE(Dark(played.back())) << "stopped on a lit point";
    }
  }
}

// An announced capacity is believed only within reason, and a unit's refusal
// teaches what it really holds: none of these runs ends.
TEST_F(EtherDreamDriverTest, TakesTheAnnouncedCapacityOnlyWithinReason) {
  for (const std::size_t announced : {std::size_t{65535}, std::size_t{50}, std::size_t{4000}}) {
    SCOPED_TRACE(announced);
    Emulator unit(dir_, port_, {"--capacity", "1800"});
    auto driver = Open({}, announced);
    const Streamed streamed = StreamFor(*driver, 600ms, 15000);
    EXPECT_EQ(streamed.Failure, std::nullopt);
    const bool learnt = driver->StatusNote().find("holds only") != std::string::npos;
    EXPECT_EQ(learnt, announced == 4000) << driver->StatusNote();
    EXPECT_EQ(driver->CloseDac(), std::nullopt);
    EXPECT_EQ(unit.Stop()["naks"] == "0", announced != 4000);
  }
}

TEST(EtherDreamWordsTest, UnknownNakCodesAreShownInHex) {
  EXPECT_EQ(etherdream::NakReason('\x07'), "it answered with an unknown code (0x07)");
}

}  // namespace
}  // namespace whorlgen::lasers
