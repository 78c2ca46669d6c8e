// The show's timekeeping on its own, and a show whose every projector fails,
// with stand-in devices.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "output/run_loop.h"
#include "output/show_outputs.h"
#include "output/show_sync.h"
#include "tests/run_test_support.h"

namespace whorlgen::output {
namespace {

// Frames of 0.1 s; three outputs tell when they begin frame 2 (show time
// 0.2 s). The latest sets the time: the others are due the difference, once;
// half a millisecond is left alone; one stray measurement among steady ones
// changes nothing; an output that cannot keep up does not set the time.
TEST(ShowSyncTest, OutputsAheadWaitForTheLatestOnce) {
  ShowSync sync(3);
  for (std::uint64_t serial = 0; serial < 10; ++serial)
    sync.FrameMade(serial, 0.1);
  sync.Measured(0, 2, 10.2);
  sync.Measured(1, 2, 10.23);
  sync.Measured(2, 2, 10.2295);
  EXPECT_NEAR(sync.FillerDue(0), 0.030, 1e-9);
  EXPECT_EQ(sync.FillerDue(1), 0.0) << "the latest waits for nobody";
  EXPECT_EQ(sync.FillerDue(2), 0.0) << "0.5 ms is within the deadband";
  EXPECT_NEAR(sync.SpreadSec(), 0.030, 1e-9);

  sync.SetLagging(1, true);
  EXPECT_NEAR(sync.FillerDue(0), 0.0295, 1e-9) << "a lagging output does not set the time";
  sync.SetLagging(1, false);

  sync.Gave(0, 3, 0.030);
  EXPECT_EQ(sync.FillerDue(0), 0.0) << "dark time given is counted before it is measured";
  sync.Measured(0, 4, 10.4 + 0.030);  // frame 4 plays after the dark time
  EXPECT_EQ(sync.FillerDue(0), 0.0) << "and not counted twice once it is";

  for (std::uint64_t serial = 5; serial < 9; ++serial) {
    sync.Measured(0, serial, 10.03 + 0.1 * static_cast<double>(serial));
    sync.Measured(1, serial, serial == 7 ? 10.5 + 0.7 : 10.03 + 0.1 * static_cast<double>(serial));
  }
  EXPECT_EQ(sync.FillerDue(0), 0.0) << "one stray measurement among steady ones";
}

// A stand-in device that takes `frames` frames, each for a moment, then
// fails with `why`.
class FailingDevice final : public DacDriver {
 public:
  FailingDevice(std::string why, int frames) : why_(std::move(why)), frames_(frames) {}
  DacFailure OpenDac(engine::GeneratorState&) override { return std::nullopt; }
  DacFailure SendFrame(const engine::FrameData&, std::int32_t) override {
    if (sent_++ == frames_)
      return why_;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return std::nullopt;
  }
  DacFailure CloseDac() override { return std::nullopt; }

 private:
  std::string why_;
  int frames_;
  int sent_ = 0;
};

class Host : public testing::TellingHost {
 public:
  int frames = 0;
  void DrawPreview(const engine::FrameData&, bool) override { ++frames; }
};

// The first projector fails at its fourth frame: the show goes on with the
// second, and the note says which left and why. When the second fails too,
// the run ends and tells both reasons.
TEST(ShowDriverTest, TheRunEndsInWordsOnlyWhenEveryProjectorHasLeft) {
  testing::RunState state;
  Host host;
  RunLoop loop(host, state.Context());
  loop.MakeDriver = [](const std::string&) {
    std::vector<ShowOutput> outputs{
        {"Unit A", [] { return std::make_unique<FailingDevice>("Unit A was unplugged.", 3); },
         NeutralProfile()},
        {"Unit B", [] { return std::make_unique<FailingDevice>("Unit B stopped answering.", 6); },
         NeutralProfile()}};
    return std::make_unique<ShowDriver>(std::move(outputs));
  };
  loop.cmdStart_Click();
  host.queue.RunWhile([&] { return loop.InRun(); });

  EXPECT_EQ(host.frames, 6);
  ASSERT_EQ(host.told.size(), 1u);
  EXPECT_EQ(host.told[0], "Unit A was unplugged.\nUnit B stopped answering.");
  EXPECT_NE(std::find(host.notes.begin(), host.notes.end(),
                      "1 of 2 projectors: Unit A left the show: Unit A was unplugged."),
            host.notes.end());
}

}  // namespace
}  // namespace whorlgen::output
