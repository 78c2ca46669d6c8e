// The JACK DAC against a real JACK server on its dummy driver, started by the
// test under a name of its own and stopped by its PID.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <jack/jack.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audio/jack_dac.h"
#include "engine/frame_generator.h"
#include "tests/jack_server.h"

namespace whorlgen::audio {
namespace {

using namespace std::chrono_literals;
constexpr double kPi = 3.14159265358979323846;

class JackDacTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = server_.Start(); !why.empty())
      GTEST_SKIP() << why;
  }
  void TearDown() override {
    server_.Stop();
    unsetenv("JACK_DEFAULT_SERVER");
  }
  void StopServer() { server_.Stop(); }
  void FreezeServer() { server_.Freeze(); }
  void ThawServer() { server_.Thaw(); }

  std::unique_ptr<output::DacDriver> OpenJack() {
    JackDacFamily family;
    const std::vector<output::DacInfo> devices = family.Devices();
    EXPECT_EQ(devices.size(), 1u);
    if (devices.empty())
      return nullptr;
    EXPECT_EQ(devices[0].Name, "JACK");
    auto driver = family.MakeDriver(devices[0]);
    EXPECT_EQ(driver->OpenDac(generator_), std::nullopt);
    return driver;
  }

  engine::GeneratorState generator_;
  testing::DummyJackServer server_;
};

// A second client that records whorlgen's six ports.
class Recorder {
 public:
  Recorder() {
    client_ = jack_client_open("recorder", JackNoStartServer, nullptr);
    if (client_ == nullptr)
      return;
    for (unsigned c = 0; c < 6; ++c) {
      ports_[c] = jack_port_register(client_, std::to_string(c).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                     JackPortIsInput, 0);
      samples_[c].resize(48000 * 4);
    }
    jack_set_process_callback(client_, &Recorder::Process, this);
    jack_activate(client_);
    const char* names[] = {"x", "y", "r", "g", "b", "i"};
    for (unsigned c = 0; c < 6; ++c) {
      jack_connect(client_, (std::string("whorlgen:") + names[c]).c_str(),
                   jack_port_name(ports_[c]));
    }
  }
  ~Recorder() {
    if (client_ != nullptr)
      jack_client_close(client_);
  }
  bool Connected() const {
    return client_ != nullptr && jack_port_connected(ports_[0]) == 1 &&
           jack_port_connected(ports_[5]) == 1;
  }
  // What channel c received, up to now.
  std::vector<float> Channel(unsigned c) const {
    return {samples_[c].begin(), samples_[c].begin() + static_cast<long>(count_.load())};
  }

 private:
  static int Process(jack_nframes_t frames, void* self) {
    auto* r = static_cast<Recorder*>(self);
    const std::size_t at = r->count_.load();
    const std::size_t n = std::min<std::size_t>(frames, r->samples_[0].size() - at);
    for (unsigned c = 0; c < 6; ++c) {
      const auto* in = static_cast<const float*>(jack_port_get_buffer(r->ports_[c], frames));
      std::copy_n(in, n, r->samples_[c].begin() + static_cast<long>(at));
    }
    r->count_.store(at + n);
    return 0;
  }

  jack_client_t* client_ = nullptr;
  std::array<jack_port_t*, 6> ports_{};
  std::array<std::vector<float>, 6> samples_;
  std::atomic<std::size_t> count_{0};
};

engine::FrameData Frame(const std::vector<engine::LaserPoint>& points) {
  engine::FrameData frame;
  frame.FrameBuffer = points;
  frame.FrameBytes = static_cast<std::int32_t>(points.size() * sizeof(engine::LaserPoint));
  return frame;
}

TEST_F(JackDacTest, SixPortsCarryTheFrameResampledToTheServersRate) {
  auto driver = OpenJack();
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(LastJackRunCounts().SampleRate, 48000u);
  Recorder recorder;
  ASSERT_TRUE(recorder.Connected()) << "whorlgen's ports x, y, r, g, b, i are missing";

  // Half a second of a corner, full colours set apart, then half a second of
  // a 1500 Hz circle at 15000 points per second: ten points a cycle.
  const engine::LaserPoint corner{4095, 0, 255, 0, 51, 255};
  std::vector<engine::LaserPoint> circle;
  for (int n = 0; n < 500; ++n) {
    const double a = 2 * kPi * n / 10;
    circle.push_back({static_cast<std::int16_t>(std::lrint(2048 + 1500 * std::cos(a))),
                      static_cast<std::int16_t>(std::lrint(2048 + 1500 * std::sin(a))), 0, 0, 0,
                      0});
  }
  for (int n = 0; n < 15; ++n)
    ASSERT_EQ(driver->SendFrame(Frame(std::vector(500, corner)), 15000), std::nullopt);
  for (int n = 0; n < 15; ++n)
    ASSERT_EQ(driver->SendFrame(Frame(circle), 15000), std::nullopt);
  // Frames shorter than the server's cycle of 1024 samples must not leave it dry.
  for (int n = 0; n < 60; ++n)
    ASSERT_EQ(driver->SendFrame(Frame(circle), 48000), std::nullopt);
  EXPECT_LE(LastJackRunCounts().Underruns, 2u) << "a stall of the machine may cost one or two";
  std::this_thread::sleep_for(300ms);  // the last frames play out
  driver->CloseDac();

  const std::array<float, 6> cornerLevels = {1.0f, -1.0f, 1.0f, 0.0f, 0.2f, 1.0f};
  std::array<std::vector<float>, 6> got;
  for (unsigned c = 0; c < 6; ++c)
    got[c] = recorder.Channel(c);
  // Half a second at 48 kHz carries the corner on all six channels (the
  // resampler settles within a few dozen samples; a stall of a loaded
  // machine may cost a cycle of 1024).
  const auto isCorner = [&](std::size_t n) {
    for (unsigned c = 0; c < 6; ++c) {
      if (std::abs(got[c][n] - cornerLevels[c]) > 1e-3f)
        return false;
    }
    return true;
  };
  std::size_t cornerSamples = 0;
  std::size_t lastCorner = 0;
  for (std::size_t n = 0; n < got[0].size(); ++n) {
    if (isCorner(n)) {
      ++cornerSamples;
      lastCorner = n;
    }
  }
  EXPECT_GE(cornerSamples, 20000u);
  // The circle: smooth at 48 kHz. Holding each point for 3.2 samples would
  // jump by up to 0.45 of full scale; the sinc moves at most 2 pi 1500 / 48000
  // x 0.73 = 0.14 a sample. A dry cycle (all zero) is no step of the figure.
  const auto dry = [&](std::size_t n) { return got[0][n] == 0.0f && got[1][n] == 0.0f; };
  float biggestStep = 0.0f;
  float highest = 0.0f;
  const std::size_t circleFrom = lastCorner + 2000;
  ASSERT_LT(circleFrom + 12000, got[0].size());
  for (std::size_t n = circleFrom; n < circleFrom + 12000; ++n) {
    if (!dry(n) && !dry(n - 1))
      biggestStep = std::max(biggestStep, std::abs(got[0][n] - got[0][n - 1]));
    highest = std::max(highest, got[0][n]);
  }
  EXPECT_LT(biggestStep, 0.18f);
  EXPECT_NEAR(highest, 1500 / 2047.5, 0.03);
}

TEST_F(JackDacTest, ServerGoneEndsTheRunInWords) {
  auto driver = OpenJack();
  ASSERT_NE(driver, nullptr);
  const std::vector<engine::LaserPoint> points(500, engine::LaserPoint{2048, 2048, 0, 0, 0, 0});
  ASSERT_EQ(driver->SendFrame(Frame(points), 15000), std::nullopt);
  StopServer();
  output::DacFailure failure;
  for (int n = 0; n < 300 && !failure; ++n)
    failure = driver->SendFrame(Frame(points), 15000);
  ASSERT_TRUE(failure.has_value());
  EXPECT_THAT(*failure, ::testing::HasSubstr("JACK server"));
  EXPECT_EQ(driver->CloseDac(), std::nullopt);
  EXPECT_FALSE(JackServerRunning(0ms)) << "the list would still offer \"JACK\"";
}

// A server that stops taking audio: Interrupt ends the wait for room at
// once, and the close does not wait for the hung server to let the client
// go (libjack would wait without a limit). The server, once thawed, takes
// several seconds of its own to stop.
TEST_F(JackDacTest, InterruptEndsTheWaitForAServerThatTakesNoAudio) {
  auto driver = OpenJack();
  ASSERT_NE(driver, nullptr);
  const std::vector<engine::LaserPoint> lit(4800, engine::LaserPoint{4095, 0, 255, 255, 255, 255});
  ASSERT_EQ(driver->SendFrame(Frame(lit), 48000), std::nullopt);
  FreezeServer();
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    driver->Interrupt();
  });
  const auto start = std::chrono::steady_clock::now();
  for (int n = 0; n < 5; ++n)
    EXPECT_EQ(driver->SendFrame(Frame(lit), 48000), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms + 2s);
  stopper.join();
  const auto closing = std::chrono::steady_clock::now();
  driver->CloseDac();
  EXPECT_LT(std::chrono::steady_clock::now() - closing, 1s);
  ThawServer();
}

}  // namespace
}  // namespace whorlgen::audio
