#include "engine/parameters.h"

namespace whorlgen::engine {

void GeneratorState::ResetPhases() {
  XAngle = YAngle = ZAngle = 0.0;
  RAngle = GAngle = BAngle = 0.0;
}

std::int32_t RepPointsFromPosition(std::int16_t v) {
  // A 16-bit sum, then widened; 0..30 never overflows.
  return static_cast<std::int16_t>(v + 1);
}

std::int32_t GainFromPosition(std::int16_t v) {
  // Ties go to the even neighbour: 50 x 20.47 is exactly 1023.5 and gives 1024.
  return static_cast<std::int32_t>(std::lrint(v * 20.47));
}

double AngleFromPosition(std::int16_t v) {
  // Multiply by Pi first, then divide, so 45 gives exactly Pi * 45 / 180.
  return v * Pi / 180.0;
}

double FigureFreqFromPosition(std::int16_t v) {
  return v / 5.0;
}

std::int32_t ColourFreqFromPosition(std::int16_t v) {
  return v;
}

std::int32_t PointsPerSecFromPosition(std::int16_t v) {
  return 2 * static_cast<std::int32_t>(v);
}

std::int32_t PointsPerFrameFromPosition(std::int16_t v) {
  return v;
}

PatternParameters StartupParameters() {
  PatternParameters p;
  p.RepPoints = RepPointsFromPosition(0);
  p.XGain = GainFromPosition(25);
  p.YGain = GainFromPosition(25);
  p.XPhase = AngleFromPosition(0);
  p.XRot = AngleFromPosition(0);
  p.YRot = AngleFromPosition(0);
  p.XFreq = FigureFreqFromPosition(125);
  p.YFreq = FigureFreqFromPosition(125);
  p.ZFreq = FigureFreqFromPosition(85);
  p.RFreq = ColourFreqFromPosition(50);
  p.GFreq = ColourFreqFromPosition(55);
  p.BFreq = ColourFreqFromPosition(60);
  p.PointsPerSec = PointsPerSecFromPosition(7500);
  p.PointsPerFrame = PointsPerFrameFromPosition(500);
  return p;
}

}  // namespace whorlgen::engine
