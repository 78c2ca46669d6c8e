#include "lasers/point_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace whorlgen::lasers {

using output::DacFailure;
namespace {

using engine::LaserPoint;
using namespace std::chrono_literals;

std::vector<LaserPoint> Frame(std::int16_t x0, int count) {
  std::vector<LaserPoint> frame;
  for (int i = 0; i < count; ++i)
    frame.push_back({static_cast<std::int16_t>(x0 + i), 100, 255, 128, 7, 200});
  return frame;
}

std::vector<StreamPoint> PullSome(PointStream& stream, std::size_t room, std::size_t minimum) {
  std::vector<StreamPoint> out(room);
  out.resize(stream.Pull(out, minimum));
  return out;
}

// Pushes as the run loop does, on its own thread, and takes `room` points
// once the frame is there; Push returns only when its frame was begun on.
std::vector<StreamPoint> PushThenPull(PointStream& stream, const std::vector<LaserPoint>& frame,
                                      std::int32_t pointsPerSec, std::size_t room,
                                      std::size_t minimum) {
  const std::size_t before = stream.ReadyPoints();
  auto pushed = std::async(std::launch::async, [&] { return stream.Push(frame, pointsPerSec); });
  while (stream.ReadyPoints() < before + frame.size())
    std::this_thread::yield();
  auto out = PullSome(stream, room, minimum);
  EXPECT_FALSE(pushed.get());
  return out;
}

// Frames leave in order; a gap is dark at the last position; the rate flag
// sits on exactly the first point of the frame whose rate changed; Close
// lets the last frame out, then the lead-out, then nothing.
TEST(PointStreamTest, FramesGapsRateChangeAndLeadOut) {
  PointStream stream("Test DAC");
  EXPECT_FALSE(stream.Started());
  auto first = PushThenPull(stream, Frame(10, 3), 15000, 5, 5);
  EXPECT_TRUE(stream.Started());
  ASSERT_EQ(first.size(), 5u);
  EXPECT_EQ(first[0].Point.X, 10);
  EXPECT_TRUE(first[0].FrameStart);
  EXPECT_FALSE(first[0].RateChange);  // the device starts at this rate
  EXPECT_EQ(first[2].Point.X, 12);
  for (int i : {3, 4}) {  // nothing waiting: blanked at the beam's last position
    EXPECT_EQ(first[i].Point.X, 12);
    EXPECT_EQ(first[i].Point.Y, 100);
    EXPECT_EQ(first[i].Point.R + first[i].Point.G + first[i].Point.B + first[i].Point.I, 0);
    EXPECT_EQ(first[i].PointsPerSec, 15000);
    EXPECT_FALSE(first[i].FrameStart);
  }

  auto same = PushThenPull(stream, Frame(50, 2), 15000, 1, 0);
  EXPECT_FALSE(same[0].RateChange);
  auto changed = PushThenPull(stream, Frame(70, 2), 30000, 10, 0);  // only ready points
  ASSERT_EQ(changed.size(), 3u);
  EXPECT_EQ(changed[0].PointsPerSec, 15000);
  EXPECT_FALSE(changed[0].RateChange);
  EXPECT_TRUE(changed[1].RateChange);
  EXPECT_EQ(changed[1].PointsPerSec, 30000);
  EXPECT_FALSE(changed[2].RateChange);

  PushThenPull(stream, Frame(90, 2), 30000, 1, 0);
  stream.Close(4);
  auto tail = PullSome(stream, 100, 100);
  ASSERT_EQ(tail.size(), 5u);  // the rest of the frame, then four dark points, no padding
  EXPECT_EQ(tail[0].Point.X, 91);
  EXPECT_EQ(tail[4].Point.X, 91);
  EXPECT_EQ(tail[4].Point.I, 0);
  EXPECT_TRUE(stream.Finished());
  EXPECT_EQ(PullSome(stream, 10, 10).size(), 0u);
}

// Push returns when the I/O side begins on its frame, or with the I/O
// side's failure, or after a stall without a point taken.
TEST(PointStreamTest, PushWaitsForTheDeviceAndReportsFailures) {
  PointStream stream("Test DAC", 200ms);
  auto pushed = std::async(std::launch::async, [&] { return stream.Push(Frame(0, 4), 15000); });
  EXPECT_EQ(pushed.wait_for(50ms), std::future_status::timeout);
  PullSome(stream, 1, 0);
  EXPECT_FALSE(pushed.get());

  auto stalled = stream.Push(Frame(0, 4), 15000);  // nobody pulls any more
  ASSERT_TRUE(stalled);
  EXPECT_NE(stalled->find("Test DAC took no points for 0.2 s"), std::string::npos) << *stalled;

  // One that takes points, but far fewer than the rate asks for, is named
  // with the rate it managed.
  PointStream slow("Test DAC", 200ms);
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    while (!done) {
      PullSome(slow, 1, 0);
      std::this_thread::sleep_for(20ms);
    }
  });
  DacFailure verdict;
  for (int i = 0; i < 100 && !verdict; ++i)
    verdict = slow.Push(Frame(0, 500), 15000);
  done = true;
  trickle.join();
  ASSERT_TRUE(verdict);
  EXPECT_NE(verdict->find("Test DAC took only "), std::string::npos) << *verdict;
  EXPECT_NE(verdict->find(" points a second of the run's 15000 over the last 0.4 s"),
            std::string::npos)
      << *verdict;

  PointStream failing("Test DAC");
  auto waiting = std::async(std::launch::async, [&] { return failing.Push(Frame(0, 4), 15000); });
  std::this_thread::sleep_for(20ms);
  failing.Fail("Test DAC: connection lost");
  EXPECT_EQ(waiting.get(), "Test DAC: connection lost");
  EXPECT_EQ(failing.Failure(), "Test DAC: connection lost");
}

// The run ends now: a waiting Push returns at once, and what was not yet
// pulled never plays; the device gets dark points where the beam was.
TEST(PointStreamTest, InterruptFreesTheWaiterAndDropsUnplayedFrames) {
  PointStream stream("Test DAC", 10s);
  PushThenPull(stream, Frame(10, 4), 15000, 2, 0);  // points 10 and 11 played
  auto waiting = std::async(std::launch::async, [&] { return stream.Push(Frame(50, 4), 15000); });
  EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
  stream.Interrupt();
  ASSERT_EQ(waiting.wait_for(50ms), std::future_status::ready);
  EXPECT_FALSE(waiting.get());
  const auto after = PullSome(stream, 3, 3);
  ASSERT_EQ(after.size(), 3u);
  for (const StreamPoint& p : after) {
    EXPECT_EQ(p.Point.X, 11);
    EXPECT_EQ(p.Point.R + p.Point.G + p.Point.B + p.Point.I, 0);
  }
  EXPECT_FALSE(stream.Push(Frame(90, 4), 15000)) << "returns at once, without a verdict";
}

}  // namespace
}  // namespace whorlgen::lasers
