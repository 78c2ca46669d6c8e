#pragma once
// The six-oscillator harmonograph: one call builds one frame of laser points.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "engine/parameters.h"

namespace whorlgen::engine {

// One output point. This is a wire format: device libraries receive the
// frame by address and read it as consecutive 8-byte records.
struct LaserPoint {
  std::int16_t X;  // DAC code 0..4095, 2048 = centre
  std::int16_t Y;  // DAC code 0..4095, Y grows upwards
  std::uint8_t R;
  std::uint8_t G;
  std::uint8_t B;
  std::uint8_t I;  // luminance of R, G and B
};
static_assert(sizeof(LaserPoint) == 8, "LaserPoint must be 8 bytes without padding");
static_assert(std::is_standard_layout_v<LaserPoint> && std::is_trivially_copyable_v<LaserPoint>);
static_assert(offsetof(LaserPoint, X) == 0 && offsetof(LaserPoint, Y) == 2);
static_assert(offsetof(LaserPoint, R) == 4 && offsetof(LaserPoint, G) == 5);
static_assert(offsetof(LaserPoint, B) == 6 && offsetof(LaserPoint, I) == 7);
static_assert(std::endian::native == std::endian::little,
              "the devices read X and Y as little-endian 16-bit numbers");

// The current frame and the per-frame values the output stage needs.
struct FrameData {
  std::vector<LaserPoint> FrameBuffer;  // exactly PointsPerFrame points after BuildFrame
  std::int32_t FrameBytes = 0;          // PointsPerFrame x 8
  std::int32_t PointPeriod = 0;         // 33333333 / PointsPerSec, rounded
};

struct RotatedPoint {
  double RotX;
  double RotY;
};

// Rotation by xRot about the X axis, then by yRot about the Y axis, then an
// orthographic projection onto the X-Y plane.
RotatedPoint RotatePoint(double x, double y, double z, double xRot, double yRot);

// The colour level of an oscillator at this angle: 127 cos(angle) + 128 to
// the nearest integer, ties to even; 1..255, never 0.
std::uint8_t ColourLevel(double angle);

// 4095 codes per millisecond of output spread over that millisecond's points;
// 4095 (never exceeded) when limiting is off.
std::int32_t StepLimitFor(std::int32_t pointsPerSec, bool limitVelocity);
std::int32_t PointPeriodFor(std::int32_t pointsPerSec);

// Builds the next frame into frame.FrameBuffer and advances the generator.
// opMode and limitVelocity are read once per frame by the caller. A mode
// outside 1..6 gives an all-zero frame and leaves the state untouched.
void BuildFrame(const PatternParameters& params, GeneratorState& state, int opMode,
                bool limitVelocity, FrameData& frame);

}  // namespace whorlgen::engine
