// The Helios back-end against a replay of the DAC just below libusb: the
// replay answers status and name requests as the DAC does, keeps its
// double buffer, and records every transfer.

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "lasers/helios_dac.h"

namespace whorlgen::lasers {

using output::DacDriver;
using output::DacFailure;
using output::DacInfo;
namespace {

using engine::LaserPoint;

struct Written {
  std::vector<LaserPoint> Points;
  int Rate = 0;
  int Flags = 0;
  std::size_t Bytes = 0;
};

Written Decode(const std::vector<std::uint8_t>& t) {
  Written w;
  w.Bytes = t.size();
  const std::size_t n = t[t.size() - 3] | (t[t.size() - 2] << 8);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* p = &t[i * 7];
    w.Points.push_back({static_cast<std::int16_t>((p[0] << 4) | (p[1] >> 4)),
                        static_cast<std::int16_t>(((p[1] & 0x0F) << 8) | p[2]), p[3], p[4], p[5],
                        p[6]});
  }
  w.Rate = t[t.size() - 5] | (t[t.size() - 4] << 8);
  w.Flags = t.back();
  return w;
}

// The DAC: a frame written while it is idle plays at once; one written while
// it plays waits in the buffer, which frees after a few status polls.
struct FakeHelios {
  std::mutex Mutex;
  bool Playing = false;
  bool Buffered = false;
  int PollsToFree = 0;
  bool NeverFrees = false;
  int TransfersBeforeUnplug = -1;
  int WritesIntoFullBuffer = 0;
  std::vector<Written> Frames;
  std::vector<std::vector<std::uint8_t>> Commands;
  std::array<std::uint8_t, 32> Reply{};

  std::size_t FrameCount() {
    std::lock_guard lock(Mutex);
    return Frames.size();
  }
  bool Unplugged() { return TransfersBeforeUnplug >= 0 && TransfersBeforeUnplug-- == 0; }
};

class FakeLink : public UsbLink {
 public:
  explicit FakeLink(FakeHelios& dac) : dac_(dac) {}
  int Interrupt(std::uint8_t endpoint, std::span<std::uint8_t> data, int& moved,
                std::chrono::milliseconds) override {
    std::lock_guard lock(dac_.Mutex);
    if (dac_.Unplugged())
      return LIBUSB_ERROR_NO_DEVICE;
    moved = static_cast<int>(data.size());
    if (endpoint == 0x83) {
      std::copy(dac_.Reply.begin(), dac_.Reply.end(), data.begin());
      return 0;
    }
    dac_.Commands.emplace_back(data.begin(), data.end());
    dac_.Reply = {static_cast<std::uint8_t>(data[0] | 0x80)};
    if (data[0] == 0x03) {
      if (dac_.Buffered && !dac_.NeverFrees && --dac_.PollsToFree <= 0)
        dac_.Buffered = false;
      dac_.Reply[1] = dac_.Buffered ? 0 : 1;
    } else if (data[0] == 0x05) {
      const std::string name = "Left Stage";
      std::copy(name.begin(), name.end(), dac_.Reply.begin() + 1);
    }
    return 0;
  }
  int Bulk(std::uint8_t, std::span<std::uint8_t> data, int& moved,
           std::chrono::milliseconds) override {
    std::lock_guard lock(dac_.Mutex);
    if (dac_.Unplugged())
      return LIBUSB_ERROR_NO_DEVICE;
    moved = static_cast<int>(data.size());
    dac_.Frames.push_back(Decode({data.begin(), data.end()}));
    dac_.WritesIntoFullBuffer += dac_.Buffered ? 1 : 0;
    dac_.Buffered = dac_.Playing;
    dac_.Playing = true;
    dac_.PollsToFree = 3;
    return 0;
  }

 private:
  FakeHelios& dac_;
};

class FakeBus : public UsbBus {
 public:
  explicit FakeBus(FakeHelios& dac) : dac_(dac) {}
  std::vector<std::string> Find(std::uint16_t vendor, std::uint16_t product) override {
    return vendor == 0x1209 && product == 0xE500 ? std::vector<std::string>{"1-4.2"}
                                                 : std::vector<std::string>{};
  }
  UsbOpenResult Open(const std::string& place, int, int) override {
    if (place != "1-4.2")
      return {nullptr, LIBUSB_ERROR_NO_DEVICE};
    return {std::make_unique<FakeLink>(dac_), 0};
  }

 private:
  FakeHelios& dac_;
};

engine::FrameData Frame(std::size_t points, std::int16_t x0) {
  engine::FrameData frame;
  for (std::size_t i = 0; i < points; ++i) {
    const auto step = static_cast<std::int16_t>(i % 4000);
    frame.FrameBuffer.push_back({static_cast<std::int16_t>(x0 + step),
                                 static_cast<std::int16_t>(4095 - step), 200, 100, 50, 150});
  }
  return frame;
}

class HeliosTest : public ::testing::Test {
 protected:
  std::unique_ptr<DacDriver> Open(HeliosTiming timing = {}) {
    HeliosFamily family(std::make_shared<FakeBus>(dac), timing);
    const std::vector<DacInfo> listed = family.Devices();
    EXPECT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.at(0).Name, "Helios Left Stage");
    auto driver = family.MakeDriver(listed.at(0));
    engine::GeneratorState generator;
    EXPECT_EQ(driver->OpenDac(generator), std::nullopt);
    return driver;
  }

  FakeHelios dac;
};

// Slow rates keep the frames' deadlines far away, so no gap is filled here.
TEST_F(HeliosTest, FramesArriveWholeInOrderSplitWithoutFaultySizesAndCloseDark) {
  auto driver = Open();
  const std::vector<engine::FrameData> frames = {Frame(45, 10), Frame(9000, 20), Frame(500, 30)};
  for (const auto& frame : frames)
    EXPECT_EQ(driver->SendFrame(frame, 200), std::nullopt);
  EXPECT_EQ(driver->CloseDac(), std::nullopt);

  std::vector<LaserPoint> played;
  for (std::size_t i = 0; i + 1 < dac.Frames.size(); ++i) {
    const Written& w = dac.Frames[i];
    EXPECT_NE(w.Bytes % 64, 0u) << "the firmware ignores whole 64-byte packets";
    EXPECT_LE(w.Points.size(), 4096u);
    EXPECT_EQ(w.Rate, 200);
    EXPECT_EQ(w.Flags, 0);
    played.insert(played.end(), w.Points.begin(), w.Points.end());
  }
  // 45 points (320 bytes) go out padded with their last point once more;
  // 9000 points go as three equal parts.
  ASSERT_EQ(dac.Frames.size(), 1u + 3u + 1u + 1u);
  EXPECT_EQ(dac.Frames[0].Points.size(), 46u);
  EXPECT_EQ(dac.Frames[1].Points.size(), 3000u);
  std::vector<LaserPoint> sent = frames[0].FrameBuffer;
  sent.push_back(sent.back());
  for (std::size_t f = 1; f < frames.size(); ++f)
    sent.insert(sent.end(), frames[f].FrameBuffer.begin(), frames[f].FrameBuffer.end());
  ASSERT_EQ(played.size(), sent.size());
  // Every field of every point, colours apart (Frame() gives each its own level).
  for (std::size_t i = 0; i < sent.size(); ++i)
    ASSERT_EQ(std::memcmp(&played[i], &sent[i], sizeof(LaserPoint)), 0) << i;
  EXPECT_EQ(dac.WritesIntoFullBuffer, 0) << "every write waits for a free buffer";

  // The end of the run: a dark frame at the last position, at once, then
  // the DAC stopped and its shutter closed.
  const Written& last = dac.Frames.back();
  EXPECT_EQ(last.Flags, 1);
  for (const LaserPoint& p : last.Points) {
    EXPECT_EQ(p.X, sent.back().X);
    EXPECT_EQ(p.R + p.G + p.B + p.I, 0);
  }
  ASSERT_GE(dac.Commands.size(), 2u);
  EXPECT_EQ(dac.Commands[dac.Commands.size() - 2], (std::vector<std::uint8_t>{0x01, 0}));
  EXPECT_EQ(dac.Commands.back(), (std::vector<std::uint8_t>{0x02, 0}));
}

// A transfer of 7 bytes a point and 5 more that fills whole 64-byte packets
// is ignored by the firmware: 4077 points make 28544 bytes, 446 packets. Such
// a part lends a point to the next, wherever it falls among the parts.
TEST(HeliosParts, NoPartButTheLastHasASizeTheFirmwareIgnores) {
  EXPECT_EQ(HeliosPartSizes(8154), (std::vector<std::size_t>{4076, 4078}));
  EXPECT_EQ(HeliosPartSizes(12232), (std::vector<std::size_t>{4078, 4076, 4078}));
  EXPECT_EQ(HeliosPartSizes(4077), (std::vector<std::size_t>{4077}));  // padded when written
}

TEST_F(HeliosTest, ALateFrameIsPrecededByADarkFrameAtTheLastPosition) {
  auto driver = Open();
  const engine::FrameData lit = Frame(100, 700);
  ASSERT_EQ(driver->SendFrame(lit, 48000), std::nullopt);
  // 2 ms of points: the DAC would replay them lit if nothing followed.
  for (int waited_ms = 0; dac.FrameCount() < 2 && waited_ms < 10000; ++waited_ms)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GE(dac.FrameCount(), 2u) << "nothing followed the lit frame";
  {
    std::lock_guard lock(dac.Mutex);
    const Written& gap = dac.Frames[1];
    EXPECT_EQ(gap.Flags, 0);
    for (const LaserPoint& p : gap.Points) {
      EXPECT_EQ(p.X, lit.FrameBuffer.back().X);
      EXPECT_EQ(p.Y, lit.FrameBuffer.back().Y);
      EXPECT_EQ(p.R + p.G + p.B + p.I, 0);
    }
  }
  EXPECT_EQ(driver->CloseDac(), std::nullopt);
}

TEST_F(HeliosTest, UnpluggedMidRunEndsTheRunInWords) {
  auto driver = Open();
  dac.TransfersBeforeUnplug = 4;
  DacFailure failure;
  for (int i = 0; i < 10 && !failure; ++i)
    failure = driver->SendFrame(Frame(500, 30), 1000);
  ASSERT_TRUE(failure.has_value());
  EXPECT_NE(failure->find("Helios Left Stage was unplugged"), std::string::npos) << *failure;
  EXPECT_EQ(driver->SendFrame(Frame(500, 30), 1000), std::nullopt) << "told once";
  EXPECT_EQ(driver->CloseDac(), std::nullopt);
}

TEST_F(HeliosTest, ADacThatStaysBusyEndsTheRunInWords) {
  auto driver = Open({.StallLimit = std::chrono::milliseconds(200)});
  dac.NeverFrees = true;
  DacFailure failure;
  for (int i = 0; i < 5 && !failure; ++i)
    failure = driver->SendFrame(Frame(100, 30), 48000);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(*failure, "Helios Left Stage stopped taking frames for 200 ms.");
  driver->CloseDac();
}

// Interrupt ends the wait for a DAC that never frees its buffer at once, and
// CloseDac still stops it and closes its shutter without waiting for room.
TEST_F(HeliosTest, InterruptEndsTheWaitAndTheCloseStillDarkensTheDac) {
  using namespace std::chrono_literals;
  auto driver = Open({.StallLimit = 5s});
  dac.NeverFrees = true;
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    driver->Interrupt();
  });
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i)
    driver->SendFrame(Frame(100, 30), 48000);  // cut short: what it says is not told
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms + 2s);
  stopper.join();
  const auto closing = std::chrono::steady_clock::now();
  EXPECT_EQ(driver->CloseDac(), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - closing, 1s);
  std::lock_guard lock(dac.Mutex);
  ASSERT_GE(dac.Commands.size(), 2u);
  EXPECT_EQ(dac.Commands[dac.Commands.size() - 2], (std::vector<std::uint8_t>{0x01, 0}));
  EXPECT_EQ(dac.Commands.back(), (std::vector<std::uint8_t>{0x02, 0}));
}

}  // namespace
}  // namespace whorlgen::lasers
