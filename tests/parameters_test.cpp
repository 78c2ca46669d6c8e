#include "engine/parameters.h"

#include <gtest/gtest.h>

namespace whorlgen::engine {
namespace {

TEST(Constants, AreTheDoublesNearestToPiAndTwoPi) {
  EXPECT_EQ(Pi, 0x1.921fb54442d18p+1);
  EXPECT_EQ(TwoPi, 0x1.921fb54442d18p+2);
}

TEST(GainMapping, RoundsToNearestWithTiesToEven) {
  EXPECT_EQ(GainFromPosition(0), 0);
  EXPECT_EQ(GainFromPosition(25), 512);   // 511.75
  EXPECT_EQ(GainFromPosition(50), 1024);  // exactly 1023.5
  EXPECT_EQ(GainFromPosition(75), 1535);  // 1535.25
  EXPECT_EQ(GainFromPosition(100), 2047);
}

TEST(AngleMapping, MultipliesByPiBeforeDividing) {
  EXPECT_DOUBLE_EQ(AngleFromPosition(-90), -Pi / 2);
  EXPECT_DOUBLE_EQ(AngleFromPosition(90), Pi / 2);
  EXPECT_EQ(AngleFromPosition(0), 0.0);
  // The two orders differ in the last bit for some positions; the panel and
  // any recorded figure depend on this one.
  int differing = 0;
  for (std::int16_t v = -90; v <= 90; ++v) {
    EXPECT_EQ(AngleFromPosition(v), v * Pi / 180) << v;
    differing += v * Pi / 180 != v * (Pi / 180);
  }
  EXPECT_GT(differing, 0);
}

TEST(FrequencyMappings, CoverThePanelRanges) {
  EXPECT_EQ(FigureFreqFromPosition(0), 0.0);
  EXPECT_EQ(FigureFreqFromPosition(1), 0.2);
  EXPECT_EQ(FigureFreqFromPosition(1000), 200.0);
  EXPECT_EQ(ColourFreqFromPosition(1000), 1000);
  EXPECT_EQ(PointsPerSecFromPosition(2500), 5000);
  EXPECT_EQ(PointsPerSecFromPosition(24000), 48000);
  EXPECT_EQ(PointsPerFrameFromPosition(500), 500);
  EXPECT_EQ(RepPointsFromPosition(0), 1);
  EXPECT_EQ(RepPointsFromPosition(30), 31);
}

TEST(StartupParameters, MatchTheStartupPanel) {
  const PatternParameters p = StartupParameters();
  EXPECT_EQ(p.RepPoints, 1);
  EXPECT_EQ(p.XGain, 512);
  EXPECT_EQ(p.YGain, 512);
  EXPECT_EQ(p.XPhase, 0.0);
  EXPECT_EQ(p.XRot, 0.0);
  EXPECT_EQ(p.YRot, 0.0);
  EXPECT_EQ(p.XFreq, 25.0);
  EXPECT_EQ(p.YFreq, 25.0);
  EXPECT_EQ(p.ZFreq, 17.0);
  EXPECT_EQ(p.RFreq, 50);
  EXPECT_EQ(p.GFreq, 55);
  EXPECT_EQ(p.BFreq, 60);
  EXPECT_EQ(p.PointsPerSec, 15000);
  EXPECT_EQ(p.PointsPerFrame, 500);
}

TEST(GeneratorState, ResetPhasesKeepsTheBeamPosition) {
  GeneratorState s{1, 2, 3, 4, 5, 6, 1000, 3000};
  s.ResetPhases();
  EXPECT_EQ(s.XAngle + s.YAngle + s.ZAngle + s.RAngle + s.GAngle + s.BAngle, 0.0);
  EXPECT_EQ(s.LastX, 1000);
  EXPECT_EQ(s.LastY, 3000);
}

}  // namespace
}  // namespace whorlgen::engine
