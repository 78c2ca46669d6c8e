// The scanner model against the theory of a damped second-order system, the
// simulation's view of a figure too fast for its scanners, and the light
// image's brightness and fading.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "engine/frame_generator.h"
#include "projection/beam_image.h"
#include "projection/frame_player.h"
#include "projection/projection_simulator.h"
#include "projection/scanner_model.h"

namespace whorlgen::projection {
namespace {

constexpr double kPi = std::numbers::pi;

ScannerParameters Linear30K() {
  ScannerParameters scanner = ScannerParametersFor(30000, 8);
  scanner.SlewLimitFieldsPerSec = 0;  // no limit: the linear system alone
  return scanner;
}

TEST(ScannerModel, ParametersScaleWithRatingAndAngle) {
  const ScannerParameters rated = ScannerParametersFor(30000, 8);
  EXPECT_DOUBLE_EQ(rated.NaturalFrequencyHz, 2400.0);
  EXPECT_DOUBLE_EQ(rated.Damping, 0.7);
  // A full-field sine at fn, attenuated to 1 / 2z, just reaches the limit.
  EXPECT_NEAR(rated.SlewLimitFieldsPerSec, 2 * kPi * 2400 * 0.5 / 1.4, 1e-9);
  EXPECT_DOUBLE_EQ(ScannerParametersFor(60000, 8).NaturalFrequencyHz, 4800.0);
  EXPECT_NEAR(ScannerParametersFor(30000, 32).SlewLimitFieldsPerSec,
              rated.SlewLimitFieldsPerSec / 4, 1e-9);
  // 2 z / wn = 92.8 us: 2.8 points at 30000 per second.
  EXPECT_EQ(SuggestedColourShiftPoints(rated, 30000), 3);
  EXPECT_EQ(SuggestedColourShiftPoints(rated, 15000), 1);
}

TEST(ScannerModel, StepOvershootsAsTheDampingSays) {
  ScannerAxis axis;
  axis.Configure(Linear30K(), 1e-7);
  double peak = 0;
  for (int i = 0; i < 20000; ++i) {  // 2 ms, many periods
    axis.Step(0.1);
    peak = std::max(peak, axis.Position());
  }
  const double expected = std::exp(-0.7 * kPi / std::sqrt(1 - 0.49));  // 4.60 %
  EXPECT_NEAR((peak - 0.1) / 0.1, expected, 1e-5);
  EXPECT_NEAR(axis.Position(), 0.1, 1e-9);
}

// Amplitude and phase of the steady response to a held sine, measured over
// whole cycles, against 1 / sqrt((1 - r^2)^2 + (2 z r)^2) and
// atan2(2 z r, 1 - r^2). Each held sample is taken at the middle of its
// step, so the hold adds no delay.
TEST(ScannerModel, SineFollowsTheTransferFunction) {
  const double stepSec = 1e-6;
  for (double ratio : {0.25, 1.0, 2.0}) {
    const double f = 2400.0 * ratio;
    ScannerAxis axis;
    axis.Configure(Linear30K(), stepSec);
    const int settle = 5000, cycles = 20;
    const int measured = static_cast<int>(std::lrint(cycles / f / stepSec));
    std::complex<double> sum = 0;
    for (int i = 0; i < settle + measured; ++i) {
      axis.Step(std::sin(2 * kPi * f * (i + 0.5) * stepSec));
      if (i >= settle) {
        const double t = (i + 1) * stepSec;
        sum += axis.Position() * std::polar(1.0, -2 * kPi * f * t);
      }
    }
    const std::complex<double> response = sum * (2.0 / measured) * std::complex<double>(0, 1);
    const double amplitude = 1 / std::hypot(1 - ratio * ratio, 1.4 * ratio);
    const double lag = std::atan2(1.4 * ratio, 1 - ratio * ratio);
    EXPECT_NEAR(std::abs(response), amplitude, 2e-4 * amplitude) << ratio;
    EXPECT_NEAR(-std::arg(response), lag, 1e-3) << ratio;
  }
}

// The exact transition: one long step lands where several short ones do.
TEST(ScannerModel, ResultDoesNotDependOnTheStep) {
  const double pointSec = 1.0 / 15000;
  ScannerAxis coarse, fine;
  coarse.Configure(Linear30K(), pointSec);
  fine.Configure(Linear30K(), pointSec / 7);
  for (int i = 0; i < 300; ++i) {
    const double command = 0.3 * std::sin(i * 0.7) * (i % 5 == 0 ? -1 : 1);
    coarse.Step(command);
    for (int s = 0; s < 7; ++s)
      fine.Step(command);
    ASSERT_NEAR(coarse.Position(), fine.Position(), 1e-12) << i;
  }
}

TEST(ScannerModel, WideJumpTravelsAtTheSlewLimit) {
  const ScannerParameters scanner = ScannerParametersFor(30000, 40);
  ScannerAxis axis;
  const double stepSec = 1e-7;
  axis.Configure(scanner, stepSec);
  axis.Reset(-0.5);
  int steps = 0;
  double fastest = 0;
  while (axis.Position() < 0.0) {  // halfway across the field
    axis.Step(0.5);
    fastest = std::max(fastest, axis.Velocity());
    ++steps;
  }
  EXPECT_LE(fastest, scanner.SlewLimitFieldsPerSec);
  // Mostly at full speed: no faster than slewing all the way.
  EXPECT_GE(steps * stepSec, 0.5 / scanner.SlewLimitFieldsPerSec);
  EXPECT_LE(steps * stepSec, 0.5 / scanner.SlewLimitFieldsPerSec * 1.5);
}

// Jumps across most of a wide field: the slewing mirror lands within one DAC
// code of where a 256 times finer step puts it.
TEST(ScannerModel, SlewingBarelyDependsOnTheStep) {
  const ScannerParameters scanner = ScannerParametersFor(30000, 20);
  const double stepSec = 1.0 / (8 * scanner.NaturalFrequencyHz);
  ScannerAxis coarse, fine;
  coarse.Configure(scanner, stepSec);
  fine.Configure(scanner, stepSec / 256);
  coarse.Reset(-0.4);
  fine.Reset(-0.4);
  for (int i = 0; i < 200; ++i) {
    const double command = (i / 50) % 2 == 0 ? 0.4 : -0.4;
    coarse.Step(command);
    for (int s = 0; s < 256; ++s)
      fine.Step(command);
    ASSERT_NEAR(coarse.Position(), fine.Position(), 1.0 / 4096) << i;
  }
}

// A circle of a quarter field at `hz`, one frame of a second's points.
std::vector<engine::LaserPoint> Circle(double hz, std::int32_t pointsPerSec, int points) {
  std::vector<engine::LaserPoint> frame;
  for (int i = 0; i < points; ++i) {
    const double a = 2 * kPi * hz * i / pointsPerSec;
    frame.push_back({static_cast<std::int16_t>(std::lrint(2048 + 512 * std::cos(a))),
                     static_cast<std::int16_t>(std::lrint(2048 + 512 * std::sin(a))), 0, 0, 200,
                     23});  // a blue beam
  }
  return frame;
}

TEST(ProjectionSimulator, FigureTooFastShrinksAndIsMarked) {
  BeamImage image;
  image.Resize(64, 64);
  const std::int32_t pps = 48000;
  ProjectionSimulator slow(ScannerParametersFor(30000, 30));
  slow.PlayFrame(Circle(100, pps, 4800), pps, image);
  slow.PlayFrame(Circle(100, pps, 4800), pps, image);
  EXPECT_EQ(slow.StrayPoints(), 0);

  ProjectionSimulator fast(ScannerParametersFor(30000, 30));
  fast.PlayFrame(Circle(4000, pps, 4800), pps, image);
  fast.PlayFrame(Circle(4000, pps, 4800), pps, image);
  EXPECT_GT(fast.StrayPoints(), 4000);
  const double radius = std::hypot(fast.X(), fast.Y());
  EXPECT_LT(radius, 0.5 * 512 / 4095.0);  // less than half the commanded size
}

TEST(FramePlayer, PlaysInRealTimeFromArrivalAndFadesAfter) {
  BeamImage image;
  image.Resize(32, 32);
  ProjectionSimulator simulator;
  FramePlayer player;
  player.Reset(10.0, image);
  const std::vector<engine::LaserPoint> tenthOfASecond(1500, {2048, 2048, 9, 9, 9, 9});
  player.Receive(tenthOfASecond, 15000, 10.0, image);
  player.Receive(std::vector<engine::LaserPoint>(480, {2048, 2048, 9, 9, 9, 9}), 48000, 10.0,
                 image);  // 10 ms at another rate
  EXPECT_TRUE(player.PlayDue(10.05, false, simulator, image));
  EXPECT_NEAR(image.Time(), 0.05, 1e-4);
  EXPECT_EQ(player.IdleSec(10.05, image), 0.0);
  player.PlayDue(10.5, false, simulator, image);
  EXPECT_NEAR(image.Time(), 0.11, 1e-9);
  EXPECT_NEAR(player.IdleSec(10.5, image), 0.39, 1e-9);  // fading since 10.11
  // After a pause the next frame starts when it arrives, not in arrears.
  player.Receive(tenthOfASecond, 15000, 11.0, image);
  player.PlayDue(11.02, false, simulator, image);
  EXPECT_NEAR(image.Time(), 0.13, 1e-4);
  // A second of frames at once is more than can wait: it is played at once.
  for (int i = 0; i < 10; ++i)
    player.Receive(tenthOfASecond, 15000, 11.02, image);
  player.PlayDue(11.03, false, simulator, image);
  EXPECT_NEAR(image.Time(), 1.21, 1e-4);
}

TEST(BeamImage, SlowBeamIsBrighterAndLightFades) {
  BeamImage image;
  image.Resize(100, 100);
  std::vector<std::uint32_t> pixels(100 * 100);
  const Rgb red{100, 0, 0};
  // Rows 40 and 60: 39.5 and 59.5 go to the even neighbour.
  image.AddPath(-0.4, 0.1, 0.4, 0.1, red, 0.016);    // slow
  image.AddPath(-0.4, -0.1, 0.4, -0.1, red, 0.004);  // four times as fast
  image.Compose(pixels);
  const std::uint32_t slow = pixels[40 * 100 + 50] >> 16, fast = pixels[60 * 100 + 50] >> 16;
  EXPECT_NEAR(slow, 4.0 * fast, 2.0);
  EXPECT_GT(fast, 0u);
  image.Advance(BeamImage::kDefaultPersistenceSec);  // one persistence: 1 / e of the light
  image.Compose(pixels);
  EXPECT_NEAR(pixels[40 * 100 + 50] >> 16, slow / std::numbers::e, 1.0);
}

// The haze lies under a straying beam: black beside the beam turns grey, the
// beam keeps its colour over it (brighter beam, less haze), and the haze
// fades with the light.
TEST(BeamImage, StrayHazeLiesUnderTheBeamAndFades) {
  BeamImage image;
  image.Resize(100, 100);
  std::vector<std::uint32_t> plain(100 * 100), hazy(100 * 100);
  image.AddPath(-0.4, 0.1, 0.4, 0.1, {255, 0, 0}, 0.004);  // along row 40
  image.Compose(plain);
  const double red = plain[40 * 100 + 50] >> 16;
  ASSERT_GT(red, 20.0);
  image.AddStrayPath(-0.4, 0.1, 0.4, 0.1);
  image.Compose(hazy);
  const double tint = BeamImage::kStrayTintLevel;
  const double under = tint * (1 - red / 255);
  auto channel = [&](int row, int shift) { return (hazy[row * 100 + 50] >> shift) & 0xFF; };
  EXPECT_NEAR(channel(40, 16), red + under, 1.0);
  EXPECT_NEAR(channel(40, 8), under, 1.0);
  EXPECT_NEAR(channel(40 + BeamImage::kStrayHalfWidth, 0), tint, 1.0);  // beside the beam
  EXPECT_EQ(hazy[(41 + BeamImage::kStrayHalfWidth) * 100 + 50], 0u);    // clear of the haze
  image.Advance(BeamImage::kDefaultPersistenceSec);
  image.Compose(hazy);
  EXPECT_NEAR(channel(40 + BeamImage::kStrayHalfWidth, 0), tint / std::numbers::e, 1.0);
}

}  // namespace
}  // namespace whorlgen::projection
