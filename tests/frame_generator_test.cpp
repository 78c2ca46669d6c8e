#include "engine/frame_generator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace whorlgen::engine {
namespace {

// No oscillator moves, no rotation: the first point shows the figure at the
// phases the state holds.
PatternParameters Still(std::int32_t gain) {
  PatternParameters p = StartupParameters();
  p.XGain = p.YGain = gain;
  p.XFreq = p.YFreq = p.ZFreq = 0;
  return p;
}

LaserPoint FirstPoint(const PatternParameters& p, GeneratorState& s, int mode, bool limit) {
  FrameData f;
  BuildFrame(p, s, mode, limit, f);
  return f.FrameBuffer.front();
}

std::vector<LaserPoint> Frame(const PatternParameters& p, GeneratorState& s, int mode, bool limit) {
  FrameData f;
  BuildFrame(p, s, mode, limit, f);
  EXPECT_EQ(f.FrameBuffer.size(), static_cast<std::size_t>(p.PointsPerFrame));
  EXPECT_EQ(f.FrameBytes, p.PointsPerFrame * 8);
  return f.FrameBuffer;
}

bool SameState(const GeneratorState& a, const GeneratorState& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

bool SamePoints(const std::vector<LaserPoint>& a, const LaserPoint* b) {
  return std::memcmp(a.data(), b, a.size() * sizeof(LaserPoint)) == 0;
}

TEST(FrameSetup, StepLimitAndPointPeriod) {
  EXPECT_EQ(StepLimitFor(5000, true), 819);
  EXPECT_EQ(StepLimitFor(15000, true), 273);
  EXPECT_EQ(StepLimitFor(16000, true), 256);  // 255.94 to the nearest
  EXPECT_EQ(StepLimitFor(30000, true), 136);  // 136.5 goes to the even neighbour
  EXPECT_EQ(StepLimitFor(48000, true), 85);
  EXPECT_EQ(StepLimitFor(15000, false), 4095);
  EXPECT_EQ(PointPeriodFor(15000), 2222);
  EXPECT_EQ(PointPeriodFor(48000), 694);
  EXPECT_EQ(PointPeriodFor(5000), 6667);
}

TEST(BuildFrame, FirstPointAfterStart) {
  const PatternParameters p = StartupParameters();
  GeneratorState s;
  const LaserPoint unlimited = FirstPoint(p, s, 1, false);
  EXPECT_EQ(unlimited.X, 2560);
  EXPECT_EQ(unlimited.Y, 2048);
  EXPECT_EQ(unlimited.R, 255);
  EXPECT_EQ(unlimited.G, 255);
  EXPECT_EQ(unlimited.B, 255);
  EXPECT_EQ(unlimited.I, 255);
  // X leads Y by the X phase: cos(pi/4 + pi/4) puts it at the centre.
  PatternParameters phased = Still(2047);
  phased.XPhase = Pi / 4;
  GeneratorState quarter;
  quarter.XAngle = Pi / 4;
  EXPECT_EQ(FirstPoint(phased, quarter, 1, false).X, 2048);

  s = GeneratorState{};
  FrameData f;
  BuildFrame(p, s, 1, true, f);
  EXPECT_EQ(f.PointPeriod, 2222);
  EXPECT_EQ(f.FrameBuffer[0].X, 273);
  EXPECT_EQ(f.FrameBuffer[0].Y, 273);
  EXPECT_EQ(f.FrameBuffer[1].X, 546);
  EXPECT_EQ(f.FrameBuffer[1].Y, 546);
}

TEST(VelocityLimit, AMoveOfExactlyTheLimitIsNotLimited) {
  const PatternParameters p = Still(512);  // mode 1 at phase 0: target (2560, 2048)
  GeneratorState s;
  s.LastX = 2560 - 273;
  s.LastY = 2048 + 273;
  LaserPoint first = FirstPoint(p, s, 1, true);
  EXPECT_EQ(first.X, 2560);
  EXPECT_EQ(first.Y, 2048);
  s.LastX = 2560 - 274;
  s.LastY = 2048 + 274;
  first = FirstPoint(p, s, 1, true);
  EXPECT_EQ(first.X, 2560 - 1);
  EXPECT_EQ(first.Y, 2048 + 1);
}

// Mode 3 at phase 0 has x = 1/2 exactly, so a gain of g puts the target at 2048 + g/2.
TEST(VelocityLimit, HalfwayTargetsAndDifferencesGoToTheEvenNeighbour) {
  GeneratorState s;
  EXPECT_EQ(FirstPoint(Still(1), s, 3, false).X, 2048);  // 2048.5
  EXPECT_EQ(FirstPoint(Still(3), s, 3, false).X, 2050);  // 2049.5
  // 272.5 rounds to 272, within the limit: the point is the rounded target
  // itself, not LastX + 272.
  s.LastX = 1777;
  EXPECT_EQ(FirstPoint(Still(3), s, 3, true).X, 2050);
  // 273.5 rounds to 274, over the limit.
  s.LastX = 1776;
  EXPECT_EQ(FirstPoint(Still(3), s, 3, true).X, 1776 + 273);
  // At 30000 points per second 136.5 rounds to 136, exactly the limit: not limited.
  PatternParameters fast = Still(3);
  fast.PointsPerSec = 30000;
  s.LastX = 1913;
  EXPECT_EQ(FirstPoint(fast, s, 3, true).X, 2050);
}

TEST(Rotation, TurnsAboutXThenYAndProjects) {
  const RotatedPoint same = RotatePoint(0.25, -0.5, 0.75, 0, 0);
  EXPECT_EQ(same.RotX, 0.25);
  EXPECT_EQ(same.RotY, -0.5);
  const RotatedPoint aboutX = RotatePoint(0, 0, 1, Pi / 2, 0);  // z turns to -y
  EXPECT_NEAR(aboutX.RotX, 0, 1e-15);
  EXPECT_NEAR(aboutX.RotY, -1, 1e-15);
  const RotatedPoint aboutY = RotatePoint(0, 0, 1, 0, Pi / 2);  // z turns to x
  EXPECT_NEAR(aboutY.RotX, 1, 1e-15);
  EXPECT_NEAR(aboutY.RotY, 0, 1e-15);
  const RotatedPoint both = RotatePoint(0, 1, 0, Pi / 2, Pi / 2);  // y to z, then z to x
  EXPECT_NEAR(both.RotX, 1, 1e-15);
  EXPECT_NEAR(both.RotY, 0, 1e-15);

  PatternParameters p = Still(512);
  p.XRot = AngleFromPosition(90);
  p.ZFreq = 0.2;  // a standing Z would start again from phase 0
  GeneratorState s;
  s.ZAngle = Pi / 2;  // mode 1: z = 1, which the X rotation turns to y = -1
  EXPECT_EQ(FirstPoint(p, s, 1, false).Y, 2048 - 512);
}

TEST(BuildFrame, Mode2WithoutZApproachesTheCentreAtTheLimit) {
  PatternParameters p = StartupParameters();
  p.ZFreq = 0;
  GeneratorState s;
  s.ZAngle = 1.0;  // a standing Z oscillator starts again from phase 0
  const std::vector<LaserPoint> f = Frame(p, s, 2, true);
  for (std::size_t i = 0; i < f.size(); ++i) {
    const int expected = std::min(273 * static_cast<int>(i + 1), 2048);
    ASSERT_EQ(f[i].X, expected) << i;
    ASSERT_EQ(f[i].Y, expected) << i;
  }
  EXPECT_EQ(s.ZAngle, 0.0);
}

TEST(BuildFrame, RepeatPointsHoldTheTargetsOfTheSamePhases) {
  PatternParameters p = StartupParameters();
  GeneratorState every;
  const std::vector<LaserPoint> single = Frame(p, every, 1, false);
  p.RepPoints = 3;
  GeneratorState held;
  const std::vector<LaserPoint> repeated = Frame(p, held, 1, false);
  for (std::size_t i = 0; i < repeated.size(); ++i) {
    const std::size_t hold = i - i % 3;  // 0, 3, ..., 498; the last hold has 2 points
    ASSERT_EQ(repeated[i].X, single[hold].X) << i;
    ASSERT_EQ(repeated[i].Y, single[hold].Y) << i;
    ASSERT_EQ(repeated[i].R, single[i].R) << i;  // colour moves at every point
  }
  // The phases run on at every point, held or not.
  held.LastX = every.LastX;
  held.LastY = every.LastY;
  EXPECT_TRUE(SameState(held, every));
}

TEST(BuildFrame, Mode6IsClampedToTheDacRange) {
  PatternParameters p = Still(2047);
  GeneratorState s;  // x = 4/3 at phase 0
  EXPECT_EQ(FirstPoint(p, s, 6, false).X, 4095);
  s.XAngle = Pi;  // x = -4/3
  EXPECT_EQ(FirstPoint(p, s, 6, false).X, 0);
}

TEST(BuildFrame, TwoFramesContinueAsOne) {
  PatternParameters p = StartupParameters();
  p.RepPoints = 4;
  p.XRot = AngleFromPosition(30);
  GeneratorState split;
  std::vector<LaserPoint> joined = Frame(p, split, 4, true);
  const std::vector<LaserPoint> second = Frame(p, split, 4, true);
  joined.insert(joined.end(), second.begin(), second.end());
  p.PointsPerFrame = 1000;
  GeneratorState whole;
  EXPECT_TRUE(SamePoints(Frame(p, whole, 4, true), joined.data()));
  EXPECT_TRUE(SameState(split, whole));
  EXPECT_NEAR(split.XAngle, 1000 * (25 * TwoPi / 15000), 1e-9);
}

TEST(BuildFrame, ModesOutside1To6GiveZerosAndLeaveTheStateAlone) {
  const PatternParameters p = StartupParameters();
  for (int mode : {0, 7, -1}) {
    GeneratorState s{1, 2, 3, 4, 5, 6, 100, 200};
    const GeneratorState before = s;
    const std::vector<LaserPoint> f = Frame(p, s, mode, true);
    EXPECT_TRUE(SamePoints(f, std::vector<LaserPoint>(500, LaserPoint{}).data())) << mode;
    EXPECT_TRUE(SameState(s, before)) << mode;
  }
}

TEST(ColourLevel, SpansOneTo255) {
  EXPECT_EQ(ColourLevel(0), 255);
  EXPECT_EQ(ColourLevel(Pi / 2), 128);
  EXPECT_EQ(ColourLevel(Pi), 1);
  GeneratorState s;
  s.RAngle = Pi / 2;
  s.GAngle = Pi;
  const LaserPoint first = FirstPoint(StartupParameters(), s, 2, true);
  EXPECT_EQ(first.R, 128);
  EXPECT_EQ(first.G, 1);
  EXPECT_EQ(first.I, 67);  // 0.59 x 1 + 0.3 x 128 + 0.11 x 255 = 67.04
}

// Random panels in range over runs of many frames, with phases from zero up
// to ones that hours of output would reach and beyond: every point in range,
// every step within the limit, the phases running on across frames, and the
// colour levels those of the library cosine at the accumulated phase.
TEST(LongRuns, KeepEveryPointInRangeAndThePhasesRunning) {
  std::mt19937 rng{20261207};
  auto position = [&rng](int lo, int hi) {
    return static_cast<std::int16_t>(std::uniform_int_distribution<int>(lo, hi)(rng));
  };
  GeneratorState s;
  FrameData f;
  for (int run = 0; run < 10; ++run) {
    static constexpr double PhaseScales[] = {0, 1e3, 1e7, 3e9, 1e12};
    std::uniform_real_distribution<double> phase(0, PhaseScales[run % 5]);
    s = GeneratorState{phase(rng), phase(rng), phase(rng),        phase(rng),
                       phase(rng), phase(rng), position(0, 4095), position(0, 4095)};
    for (int frame = 0; frame < 25; ++frame) {
      PatternParameters p;
      p.RepPoints = RepPointsFromPosition(position(0, 3) == 0 ? position(0, 30) : 0);
      p.XGain = GainFromPosition(position(0, 100));
      p.YGain = GainFromPosition(position(0, 100));
      p.XPhase = AngleFromPosition(position(-90, 90));
      p.XRot = AngleFromPosition(position(-90, 90));
      p.YRot = AngleFromPosition(position(-90, 90));
      p.XFreq = FigureFreqFromPosition(position(0, 1000));
      p.YFreq = FigureFreqFromPosition(position(0, 1000));
      p.ZFreq = FigureFreqFromPosition(position(0, 3) == 0 ? 0 : position(0, 1000));
      p.RFreq = ColourFreqFromPosition(position(0, 1000));
      p.GFreq = ColourFreqFromPosition(position(0, 1000));
      p.BFreq = ColourFreqFromPosition(position(0, 1000));
      p.PointsPerSec = PointsPerSecFromPosition(position(2500, 24000));
      p.PointsPerFrame = PointsPerFrameFromPosition(position(500, 4000));
      const bool limit = frame % 2 == 0;
      const std::int32_t stepLimit = StepLimitFor(p.PointsPerSec, limit);
      const double xInc = p.XFreq * TwoPi / p.PointsPerSec;
      const double rInc = p.RFreq * TwoPi / p.PointsPerSec;
      double x = s.XAngle;
      double r = s.RAngle;
      std::int32_t lastX = s.LastX;
      std::int32_t lastY = s.LastY;
      BuildFrame(p, s, 1 + frame % 6, limit, f);
      for (const LaserPoint& q : f.FrameBuffer) {
        ASSERT_TRUE(q.X >= 0 && q.X <= 4095 && q.Y >= 0 && q.Y <= 4095);
        ASSERT_LE(std::abs(q.X - lastX), stepLimit);
        ASSERT_LE(std::abs(q.Y - lastY), stepLimit);
        ASSERT_EQ(q.R, std::lrint(127 * std::cos(r) + 128)) << r;
        ASSERT_TRUE(q.R >= 1 && q.G >= 1 && q.B >= 1 && q.I >= 1);
        ASSERT_EQ(q.I, std::lrint(0.59 * q.G + 0.3 * q.R + 0.11 * q.B));
        lastX = q.X;
        lastY = q.Y;
        x += xInc;
        r += rInc;
      }
      ASSERT_EQ(s.XAngle, x);
      ASSERT_EQ(s.RAngle, r);
      ASSERT_TRUE(p.ZFreq != 0 || s.ZAngle == 0.0);
      ASSERT_EQ(s.LastX, lastX);
      ASSERT_EQ(s.LastY, lastY);
    }
  }
}

// Targets swept a few last bits at a time across the half steps of X and Y,
// where sines and cosines that are off in the last bits would round the other way.
TEST(BuildFrame, Mode1FollowsTheLibraryBesideHalfSteps) {
  PatternParameters p = Still(2047);
  p.PointsPerFrame = 500;
  p.XFreq = p.YFreq = 1e-12;  // a few units in the last place per point
  const double inc = p.XFreq * TwoPi / p.PointsPerSec;
  GeneratorState s;
  FrameData f;
  for (int code = 1; code < 4095; code += 3) {
    const double c = (code + 0.5 - 2048) / 2047;
    for (double start : {std::acos(c), -std::acos(c) + 40 * Pi}) {
      s.XAngle = start - 250 * inc;
      s.YAngle = (code % 2 ? std::asin(c) : Pi - std::asin(c) + 100 * Pi) - 250 * inc;
      double x = s.XAngle;
      double y = s.YAngle;
      BuildFrame(p, s, 1, false, f);
      for (const LaserPoint& q : f.FrameBuffer) {
        ASSERT_EQ(q.X, std::lrint(2047 * std::cos(x) + 2048)) << x;
        ASSERT_EQ(q.Y, std::lrint(2047 * std::sin(y) + 2048)) << y;
        x += inc;
        y += inc;
      }
    }
  }
}

// Levels right at and beside the half steps, where a cosine that is off in
// the last bits would round the other way.
TEST(ColourLevel, MatchesTheLibraryCosineBesideEveryHalfStep) {
  for (int level = 1; level < 255; ++level) {
    const double angle = std::acos((level + 0.5 - 128) / 127);
    for (int k = -64; k <= 64; ++k) {
      for (double a : {angle, -angle, angle + 2 * k * Pi}) {
        const double nearby = a + k * 1e-15 * (1 + std::fabs(a));
        ASSERT_EQ(ColourLevel(nearby), std::lrint(127 * std::cos(nearby) + 128)) << nearby;
      }
    }
  }
}

}  // namespace
}  // namespace whorlgen::engine
