#include "engine/frame_generator.h"

#include <cmath>
#include <cstdlib>

namespace whorlgen::engine {
namespace {

// The sines and cosines of the two rotation angles: constant over a frame.
struct Rotation {
  double cX, sX, cY, sY;

  Rotation(double xRot, double yRot)
      : cX(std::cos(xRot)), sX(std::sin(xRot)), cY(std::cos(yRot)), sY(std::sin(yRot)) {}

  RotatedPoint Apply(double x, double y, double z) const {
    return {x * cY + (y * sX + z * cX) * sY, y * cX - z * sX};
  }
};

struct FigurePoint {
  double x, y, z;
};

// The figure point of each operating mode from the phases u, v, w and the X phase p.
template <int Mode>
FigurePoint Figure(double u, double v, double w, double p) {
  if constexpr (Mode == 1) {
    return {std::cos(u + p), std::sin(v), std::sin(w)};
  } else if constexpr (Mode == 2) {
    const double s = std::sin(w);
    return {s * std::cos(u + p), s * std::sin(v), s};
  } else if constexpr (Mode == 3) {
    const double a = (std::sin(v + u) + 1) / 2;
    return {a * std::cos(u + p), a * std::sin(u), std::sin(w)};
  } else if constexpr (Mode == 4) {
    return {std::cos(u + p) * std::cos(1.2 * u + p), std::sin(v), std::sin(w)};
  } else if constexpr (Mode == 5) {
    const double a = (std::sin(v) + 1) / 2;
    return {a * std::cos(u + p), a * std::sin(u), std::sin(w)};
  } else {
    static_assert(Mode == 6);
    const double a = (std::cos(v) + 3) / 3;
    return {a * std::cos(u + p), a * std::sin(u), std::sin(v) / 3};
  }
}

double ClampToDacRange(double target) {
  if (target < 0)
    target = 0;
  if (target > 4095)
    target = 4095;
  return target;
}

// Moves at most stepLimit codes from last towards target. The test uses the
// rounded difference; an unlimited move lands on the rounded target itself.
std::int32_t LimitedStep(double target, std::int32_t last, std::int32_t stepLimit) {
  const double d = std::nearbyint(target - last);
  if (std::fabs(d) > stepLimit)
    return d > 0 ? last + stepLimit : last - stepLimit;
  return static_cast<std::int32_t>(std::lrint(target));
}

std::uint8_t ColourLevel(double angle) {
  // 1..255: the cosine's extremes give 1 and 255, never 0.
  return static_cast<std::uint8_t>(std::lrint(127 * std::cos(angle) + 128));
}

struct Increments {
  double x, y, z, r, g, b;
};

Increments IncrementsFor(const PatternParameters& p) {
  const double pps = p.PointsPerSec;
  return {p.XFreq * TwoPi / pps,
          p.YFreq * TwoPi / pps,
          p.ZFreq * TwoPi / pps,
          static_cast<double>(p.RFreq) * TwoPi / pps,
          static_cast<double>(p.GFreq) * TwoPi / pps,
          static_cast<double>(p.BFreq) * TwoPi / pps};
}

template <int Mode>
void PointLoop(const PatternParameters& p, GeneratorState& s, const Increments& inc,
               std::int32_t stepLimit, LaserPoint* out) {
  const Rotation rotation(p.XRot, p.YRot);
  const double gainX = p.XGain;
  const double gainY = p.YGain;
  double targetX = 0;
  double targetY = 0;
  std::int32_t holdLeft = 0;  // points until the next hold point; i mod RepPoints == 0 there
  for (std::int32_t i = 0; i < p.PointsPerFrame; ++i) {
    if (holdLeft == 0) {
      holdLeft = p.RepPoints;
      if (inc.z == 0)
        s.ZAngle = 0;
      const FigurePoint f = Figure<Mode>(s.XAngle, s.YAngle, s.ZAngle, p.XPhase);
      const RotatedPoint r = rotation.Apply(f.x, f.y, f.z);
      targetX = ClampToDacRange(gainX * r.RotX + 2048);
      targetY = ClampToDacRange(gainY * r.RotY + 2048);
    }
    --holdLeft;
    s.XAngle += inc.x;
    s.YAngle += inc.y;
    s.ZAngle += inc.z;

    const std::int32_t x = LimitedStep(targetX, s.LastX, stepLimit);
    const std::int32_t y = LimitedStep(targetY, s.LastY, stepLimit);
    LaserPoint& point = out[i];
    point.X = static_cast<std::int16_t>(x);
    point.Y = static_cast<std::int16_t>(y);
    s.LastX = x;
    s.LastY = y;

    point.R = ColourLevel(s.RAngle);
    s.RAngle += inc.r;
    point.G = ColourLevel(s.GAngle);
    s.GAngle += inc.g;
    point.B = ColourLevel(s.BAngle);
    s.BAngle += inc.b;
    point.I =
        static_cast<std::uint8_t>(std::lrint(0.59 * point.G + 0.3 * point.R + 0.11 * point.B));
  }
}

}  // namespace

RotatedPoint RotatePoint(double x, double y, double z, double xRot, double yRot) {
  return Rotation(xRot, yRot).Apply(x, y, z);
}

std::int32_t StepLimitFor(std::int32_t pointsPerSec, bool limitVelocity) {
  if (!limitVelocity)
    return 4095;
  return static_cast<std::int32_t>(std::lrint(4095.0 / (pointsPerSec / 1000.0)));
}

std::int32_t PointPeriodFor(std::int32_t pointsPerSec) {
  return static_cast<std::int32_t>(std::lrint(33333333.0 / pointsPerSec));
}

void BuildFrame(const PatternParameters& params, GeneratorState& state, int opMode,
                bool limitVelocity, FrameData& frame) {
  frame.PointPeriod = PointPeriodFor(params.PointsPerSec);
  const std::int32_t stepLimit = StepLimitFor(params.PointsPerSec, limitVelocity);
  const Increments inc = IncrementsFor(params);
  frame.FrameBytes = params.PointsPerFrame * 8;
  // Same capacity frame after frame: no allocation unless the frame grows.
  frame.FrameBuffer.assign(static_cast<std::size_t>(params.PointsPerFrame), LaserPoint{});

  LaserPoint* out = frame.FrameBuffer.data();
  switch (opMode) {
    case 1:
      PointLoop<1>(params, state, inc, stepLimit, out);
      break;
    case 2:
      PointLoop<2>(params, state, inc, stepLimit, out);
      break;
    case 3:
      PointLoop<3>(params, state, inc, stepLimit, out);
      break;
    case 4:
      PointLoop<4>(params, state, inc, stepLimit, out);
      break;
    case 5:
      PointLoop<5>(params, state, inc, stepLimit, out);
      break;
    case 6:
      PointLoop<6>(params, state, inc, stepLimit, out);
      break;
    default:
      break;  // unknown mode: all-zero frame, state unchanged
  }
}

}  // namespace whorlgen::engine
