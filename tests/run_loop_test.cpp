// The run loop without a window: a scripted host stands in for the panel.
#include "output/run_loop.h"

#include "tests/file_size_limit.h"
#include "tests/ilda_test_reader.h"
#include "tests/run_test_support.h"
#include "tests/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace whorlgen::output {
namespace {

namespace fs = std::filesystem;
using Control = RunHost::Control;

class ScriptedHost : public RunHost {
 public:
  std::map<Control, bool> enabled{{Control::Start, true},
                                  {Control::Stop, false},
                                  {Control::IldaOutput, true},
                                  {Control::DacSelect, true}};
  std::string caption;
  std::vector<std::string> told;
  std::vector<std::string> log;  // control changes and messages in order
  bool ilda = false;
  int framesDrawn = 0;
  // Runs before each piece of posted work: the events of that moment, which
  // the panel handles between frames.
  std::function<void()> events;

  void SetEnabled(Control control, bool on) override {
    enabled[control] = on;
    log.push_back(std::string(on ? "enable " : "disable ") + Name(control));
  }
  void SetTotalFramesCaption(const std::string& text) override {
    caption = text;
    log.push_back("caption '" + text + "'");
  }
  void Post(std::function<void()> work) override { queue_.Post(std::move(work)); }
  void TellOperator(const std::string& message) override {
    told.push_back(message);
    log.push_back("tell");
  }
  bool IldaOutputChecked() const override { return ilda; }
  FrameSettings CurrentFrameSettings() const override {
    return {.OpMode = 2, .LimitVelocity = true, .ShowDots = false};
  }
  void DrawPreview(const engine::FrameData&, bool) override { ++framesDrawn; }
  std::vector<double> showTimes;  // at each BeforeFrame
  void BeforeFrame(double showSeconds) override { showTimes.push_back(showSeconds); }

  // The panel's event loop: runs posted work until the run has ended.
  void RunUntilEnded(const RunLoop& loop) {
    RunWhile([&] { return loop.InRun(); });
  }
  void RunWhile(const std::function<bool()>& going) { queue_.RunWhile(going, events); }

  static const char* Name(Control c) {
    switch (c) {
      case Control::Start:
        return "Start";
      case Control::Stop:
        return "Stop";
      case Control::IldaOutput:
        return "IldaOutput";
      case Control::DacSelect:
        return "DacSelect";
    }
    return "?";
  }

 private:
  testing::PostedWork queue_;
};

class RunLoopTest : public ::testing::Test, protected testing::RunState {
 protected:
  void SetUp() override {
    loop_.DacName = "none";
    loop_.IldaDirectory = dir_.string();
  }
  // A whole run, as a click on Start and the event loop after it.
  void Run() {
    loop_.cmdStart_Click();
    host_.RunUntilEnded(loop_);
  }
  // Stops the run once it has made n frames.
  void StopAtFrame(int n) {
    host_.events = [this, n] {
      if (loop_.Running() && loop_.TotalFrames() >= n)
        loop_.cmdStop_Click();
    };
  }

  testing::TempDir temp_;
  const fs::path dir_ = temp_.Path();
  ScriptedHost host_;
  RunLoop loop_{host_, Context()};
};

TEST_F(RunLoopTest, StartThenStopAtOnceMakesOneFrameAndShowsTheCount) {
  loop_.cmdStart_Click();
  loop_.cmdStop_Click();  // before the device has even opened
  host_.RunUntilEnded(loop_);
  EXPECT_EQ(loop_.TotalFrames(), 1);
  EXPECT_EQ(host_.framesDrawn, 1);
  EXPECT_EQ(host_.caption, "1");
  EXPECT_FALSE(loop_.Running());
}

TEST_F(RunLoopTest, ControlStatesThroughARun) {
  std::vector<std::map<Control, bool>> seen;
  std::string captionDuringRun = "unset";
  bool stopped = false;
  host_.events = [&] {
    if (loop_.TotalFrames() == 1 && seen.empty()) {
      seen.push_back(host_.enabled);
      captionDuringRun = host_.caption;
    } else if (loop_.TotalFrames() == 3 && !stopped) {
      stopped = true;
      loop_.cmdStop_Click();
      seen.push_back(host_.enabled);  // between Stop and the end steps
    }
  };
  host_.caption = "41";
  Run();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(captionDuringRun, "");
  const std::map<Control, bool> running{{Control::Start, false},
                                        {Control::Stop, true},
                                        {Control::IldaOutput, false},
                                        {Control::DacSelect, false}};
  EXPECT_EQ(seen[0], running);
  const std::map<Control, bool> ending{{Control::Start, true},
                                       {Control::Stop, false},
                                       {Control::IldaOutput, false},
                                       {Control::DacSelect, false}};
  EXPECT_EQ(seen[1], ending);
  const std::map<Control, bool> idle{{Control::Start, true},
                                     {Control::Stop, false},
                                     {Control::IldaOutput, true},
                                     {Control::DacSelect, true}};
  EXPECT_EQ(host_.enabled, idle);
  EXPECT_EQ(host_.caption, "3");
}

// Scroll events that come together each get a frame with the values of
// their own moment, in order, before the run's next frame; beyond the bound
// the newest values replace the last waiting frame's.
TEST_F(RunLoopTest, ScrollFramesCarryTheirOwnMomentsValuesInOrderAndStayBounded) {
  host_.ilda = true;
  const int scrolls = static_cast<int>(RunLoop::kMaxWaitingScrollFrames) + 3;
  bool dragged = false;
  host_.events = [&] {
    if (loop_.TotalFrames() == 2 && !dragged) {
      dragged = true;
      for (int i = 1; i <= scrolls; ++i) {
        params_.PointsPerFrame = 600 + i;
        loop_.ProcessFrame();
      }
    } else if (loop_.TotalFrames() >= 2 + 9 + 1 && loop_.Running()) {
      loop_.cmdStop_Click();
    }
  };
  Run();
  const auto sections = IldaSections(dir_ / "WG01.ild");
  ASSERT_GE(sections.size(), 13u);
  // 601..607 as they came, then the last waiting frame took the newest values.
  const int expected[] = {500, 500, 601, 602, 603, 604, 605, 606, 607, 611, 611};
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(sections[i].frameNumber, i);
    EXPECT_EQ(sections[i].records, expected[i]) << i;
  }
  EXPECT_EQ(sections[0].total, loop_.TotalFrames());
}

// The show's clock counts the playing time of the frames made, each at its
// own rate, whatever the device's pace: 500 points at 15000 a second play
// for 1/30 s. The rate changes while the third frame is with the device.
TEST_F(RunLoopTest, TheShowClockIsThePlayingTimeOfTheFramesMade) {
  host_.events = [this] {
    if (host_.showTimes.size() == 3 && loop_.TotalFrames() == 2)
      params_.PointsPerSec = 30000;
    if (loop_.TotalFrames() >= 5 && loop_.Running())
      loop_.cmdStop_Click();
  };
  Run();
  ASSERT_GE(host_.showTimes.size(), 5u);
  EXPECT_DOUBLE_EQ(host_.showTimes[0], 0.0);
  EXPECT_DOUBLE_EQ(host_.showTimes[1], 1.0 / 30);
  EXPECT_DOUBLE_EQ(host_.showTimes[3], 3.0 / 30);
  EXPECT_DOUBLE_EQ(host_.showTimes[4], 3.0 / 30 + 1.0 / 60);
}

TEST_F(RunLoopTest, ScrollWhileIdleBuildsNothing) {
  generator_.XAngle = 1.5;
  loop_.ProcessFrame();
  EXPECT_EQ(loop_.TotalFrames(), 0);
  EXPECT_EQ(host_.framesDrawn, 0);
  EXPECT_TRUE(frame_.FrameBuffer.empty());
  EXPECT_EQ(generator_.XAngle, 1.5);
}

TEST_F(RunLoopTest, SecondRunResetsCountAndPhasesButKeepsTheBeamPosition) {
  StopAtFrame(4);
  Run();
  ASSERT_EQ(loop_.TotalFrames(), 4);

  // What a one-frame run must produce: phases from 0, the beam from where the
  // first run left it (which differs from a beam starting at the origin).
  engine::GeneratorState expected = generator_;
  expected.ResetPhases();
  engine::FrameData probe;
  engine::BuildFrame(params_, expected, 2, true, probe);
  engine::GeneratorState fromOrigin;
  engine::FrameData originProbe;
  engine::BuildFrame(params_, fromOrigin, 2, true, originProbe);
  ASSERT_NE(probe.FrameBuffer[0].X, originProbe.FrameBuffer[0].X);

  StopAtFrame(1);
  Run();
  EXPECT_EQ(loop_.TotalFrames(), 1);
  EXPECT_EQ(host_.caption, "1");
  EXPECT_EQ(generator_.XAngle, expected.XAngle);
  EXPECT_EQ(generator_.BAngle, expected.BAngle);
  ASSERT_EQ(frame_.FrameBuffer.size(), probe.FrameBuffer.size());
  EXPECT_EQ(0, std::memcmp(frame_.FrameBuffer.data(), probe.FrameBuffer.data(),
                           probe.FrameBuffer.size() * sizeof(engine::LaserPoint)));
}

TEST_F(RunLoopTest, ClosingTheWindowDuringARecordedRunFinishesTheFile) {
  host_.ilda = true;
  host_.events = [this] {
    if (loop_.TotalFrames() == 5 && !loop_.Closing())
      loop_.Form_Unload();
  };
  Run();
  EXPECT_FALSE(ilda_.IsOpen());
  const auto sections = IldaSections(dir_ / "WG01.ild");
  ASSERT_EQ(sections.size(), 6u);
  EXPECT_EQ(sections[0].total, 5);
  EXPECT_EQ(sections.back().format, 0);
  EXPECT_EQ(sections.back().records, 0);
}

TEST_F(RunLoopTest, StartDuringTheEndStepsWaitsForThem) {
  host_.ilda = true;
  int runs = 0;
  host_.events = [&] {
    if (runs == 0 && loop_.TotalFrames() == 2) {
      loop_.cmdStop_Click();
      loop_.cmdStart_Click();  // the click that Stop's enabling of Start allows at once
      // The second run must not have begun inside the first.
      EXPECT_EQ(host_.caption, "");
      EXPECT_FALSE(fs::exists(dir_ / "WG02.ild"));
      ++runs;
    } else if (runs == 1 && loop_.Running()) {
      // Now inside the second run: the first file is already complete.
      EXPECT_TRUE(fs::exists(dir_ / "WG02.ild"));
      EXPECT_EQ(IldaSections(dir_ / "WG01.ild").back().format, 0);
      loop_.cmdStop_Click();
      ++runs;
    }
  };
  Run();
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(IldaSections(dir_ / "WG01.ild").size(), 3u);
  EXPECT_GE(IldaSections(dir_ / "WG02.ild").size(), 2u);
}

TEST_F(RunLoopTest, NoFrameAfterStop) {
  host_.events = [this] {
    if (loop_.TotalFrames() == 1 && loop_.Running()) {
      loop_.cmdStop_Click();
      loop_.ProcessFrame();  // a Scroll still pending behind the Stop click
    }
  };
  Run();
  EXPECT_EQ(loop_.TotalFrames(), 1);
}

// A DAC that takes frames until the n-th, which it never takes.
class RefusingDriver final : public DacDriver {
 public:
  explicit RefusingDriver(int refusedFrame) : refusedFrame_(refusedFrame) {}
  DacFailure OpenDac(engine::GeneratorState&) override { return std::nullopt; }
  DacFailure SendFrame(const engine::FrameData&, std::int32_t) override {
    return ++sent_ == refusedFrame_ ? DacFailure("the card refused it") : std::nullopt;
  }
  DacFailure CloseDac() override { return std::nullopt; }

 private:
  int refusedFrame_;
  int sent_ = 0;
};

TEST_F(RunLoopTest, AFrameTheDacNeverTookIsNotShownRecordedOrCounted) {
  host_.ilda = true;
  loop_.MakeDriver = [](const std::string&) { return std::make_unique<RefusingDriver>(3); };
  Run();  // the refusal ends the run
  EXPECT_EQ(loop_.TotalFrames(), 2);
  EXPECT_EQ(host_.framesDrawn, 2);
  EXPECT_EQ(IldaSections(dir_ / "WG01.ild").size(), 3u);
  EXPECT_EQ(host_.told, std::vector<std::string>{"the card refused it"});
}

// A DAC whose second frame waits until the run ends: the panel's thread
// goes on meanwhile, and Stop ends the run without that frame leaving a trace.
class StallingDriver final : public DacDriver {
 public:
  DacFailure OpenDac(engine::GeneratorState&) override { return std::nullopt; }
  DacFailure SendFrame(const engine::FrameData&, std::int32_t) override {
    if (++sent_ < 2)
      return std::nullopt;
    while (!interrupted_)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return DacFailure("interrupted");
  }
  DacFailure CloseDac() override { return std::nullopt; }
  void Interrupt() override { interrupted_ = true; }

 private:
  int sent_ = 0;
  std::atomic<bool> interrupted_{false};
};

TEST_F(RunLoopTest, StopDuringADevicesWaitEndsTheRunAndTheWaitingFrameLeavesNoTrace) {
  host_.ilda = true;
  loop_.MakeDriver = [](const std::string&) { return std::make_unique<StallingDriver>(); };
  engine::GeneratorState afterFirst;
  int eventsWhileStalled = 0;
  bool posted = false;
  host_.events = [&] {
    if (loop_.TotalFrames() == 1 && !posted) {
      posted = true;
      afterFirst = generator_;
      // The panel's thread is free while the device waits: more posted work
      // runs, and Stop among it.
      host_.Post([&] { ++eventsWhileStalled; });
      host_.Post([&] { loop_.cmdStop_Click(); });
    }
  };
  Run();
  EXPECT_EQ(eventsWhileStalled, 1);
  EXPECT_EQ(loop_.TotalFrames(), 1);
  EXPECT_TRUE(host_.told.empty());
  EXPECT_EQ(IldaSections(dir_ / "WG01.ild").size(), 2u);
  EXPECT_EQ(generator_.LastX, afterFirst.LastX);
  EXPECT_EQ(generator_.XAngle, afterFirst.XAngle);
}

// Closes when told to, and says so.
class ClosingDriver final : public DacDriver {
 public:
  explicit ClosingDriver(std::atomic<bool>& closed) : closed_(closed) {}
  DacFailure OpenDac(engine::GeneratorState&) override { return std::nullopt; }
  DacFailure SendFrame(const engine::FrameData&, std::int32_t) override { return std::nullopt; }
  DacFailure CloseDac() override {
    closed_ = true;
    return std::nullopt;
  }

 private:
  std::atomic<bool>& closed_;
};

TEST_F(RunLoopTest, ALoopDestroyedDuringARunFinishesTheFileAndClosesTheDac) {
  host_.ilda = true;
  std::atomic<bool> closed{false};
  {
    RunLoop doomed{host_, Context()};
    doomed.MakeDriver = [&](const std::string&) { return std::make_unique<ClosingDriver>(closed); };
    doomed.IldaDirectory = dir_.string();
    doomed.cmdStart_Click();
    host_.RunWhile([&] { return doomed.TotalFrames() < 2; });
  }
  EXPECT_TRUE(closed);
  EXPECT_FALSE(ilda_.IsOpen());
  const auto sections = IldaSections(dir_ / "WG01.ild");
  EXPECT_GE(sections.size(), 3u);
  EXPECT_EQ(sections.back().format, 0);
}

// A recording that cannot take its first frame (a full disk) stops the run
// at once, and leaves no empty file behind.
TEST_F(RunLoopTest, ARecordingThatCannotWriteAtAllStopsTheRunAtOnce) {
  host_.ilda = true;
  {
    FileSizeLimit limit(16);
    Run();
  }
  EXPECT_EQ(loop_.TotalFrames(), 1);
  ASSERT_EQ(host_.told.size(), 1u);
  EXPECT_NE(host_.told[0].find("Nothing could be recorded"), std::string::npos) << host_.told[0];
  EXPECT_FALSE(fs::exists(dir_ / "WG01.ild"));
}

TEST_F(RunLoopTest, MissingDeviceLibraryEndsTheRunWithAMessageAfterTheEndSteps) {
  host_.ilda = true;
  loop_.DacName = "SoundCard";
  Run();  // the run ends by itself
  ASSERT_EQ(host_.told.size(), 1u);
  EXPECT_NE(host_.told[0].find("libEZAudDac.so"), std::string::npos) << host_.told[0];
  EXPECT_EQ(host_.log.back(), "tell");  // after every end step
  EXPECT_TRUE(host_.enabled[Control::Start]);
  EXPECT_FALSE(host_.enabled[Control::Stop]);
  EXPECT_TRUE(host_.enabled[Control::IldaOutput]);
  EXPECT_TRUE(host_.enabled[Control::DacSelect]);
  EXPECT_FALSE(ilda_.IsOpen());
  // No frame went out, so none was recorded and no file is left.
  EXPECT_EQ(loop_.TotalFrames(), 0);
  EXPECT_FALSE(fs::exists(dir_ / "WG01.ild"));
}

TEST_F(RunLoopTest, RecordingThatCannotBeCreatedDoesNotStartTheRun) {
  loop_.IldaDirectory = (dir_ / "not-a-directory" / "sub").string();
  std::ofstream(dir_ / "not-a-directory") << "x";
  host_.ilda = true;
  host_.caption = "7";
  const auto before = host_.enabled;
  loop_.cmdStart_Click();
  EXPECT_FALSE(loop_.InRun());
  EXPECT_EQ(host_.framesDrawn, 0);
  EXPECT_EQ(host_.enabled, before);
  EXPECT_EQ(host_.caption, "7");
  ASSERT_EQ(host_.told.size(), 1u);
  EXPECT_NE(host_.told[0].find("WG01.ild"), std::string::npos) << host_.told[0];
}

}  // namespace
}  // namespace whorlgen::output
