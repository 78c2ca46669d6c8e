#include "engine/frame_generator.h"

#include "engine/dac_units.h"

#include <cmath>
#include <cstdlib>

namespace whorlgen::engine {
namespace {

// Nearest integer, ties to even (the default rounding mode). Built without
// errno for maths, this is one instruction instead of a library call.
std::int32_t RoundToInt(double value) {
  return static_cast<std::int32_t>(std::lrint(value));
}

// The sines and cosines of the two rotation angles: constant over a frame.
struct Rotation {
  double cX, sX, cY, sY;

  Rotation(double xRot, double yRot)
      : cX(std::cos(xRot)), sX(std::sin(xRot)), cY(std::cos(yRot)), sY(std::sin(yRot)) {}

  RotatedPoint Apply(double x, double y, double z) const {
    return {x * cY + (y * sX + z * cX) * sY, y * cX - z * sX};
  }
};

// Pi/2 in three parts. The first two have 21 significant bits, so k times
// either is exact while |k| < 2^32 and the reduction loses almost nothing.
constexpr double HalfPi1 = 0x1.921fbp+0;
constexpr double HalfPi2 = 0x1.5110bp-22;
constexpr double HalfPi3 = 0x1.18469898cc517p-44;
constexpr double TwoOverPi = 0x1.45f306dc9c883p-1;
constexpr double FastTrigLimit = 0x1p31;  // |angle| below this keeps |k| < 2^32

struct Reduced {
  std::int64_t quadrant;  // k; only k mod 4 matters
  double sinR, cosR;
};

// Taylor coefficients: 1/n! with alternating signs.
constexpr double C4 = 1.0 / 24, C6 = -1.0 / 720, C8 = 1.0 / 40320, C10 = -1.0 / 3628800,
                 C12 = 1.0 / 479001600, C14 = -1.0 / 87178291200.0, C16 = 1.0 / 20922789888000.0;
constexpr double S3 = -1.0 / 6, S5 = 1.0 / 120, S7 = -1.0 / 5040, S9 = 1.0 / 362880,
                 S11 = -1.0 / 39916800, S13 = 1.0 / 6227020800.0;

// The angle less the nearest multiple k of pi/2, as sine and cosine of the
// remainder r (|r| <= pi/4): Taylor polynomials whose first omitted terms
// are below 1e-14 there, grouped in pairs so that the terms evaluate side
// by side rather than one after another.
[[gnu::always_inline]] inline Reduced Reduce(double angle) {
  const std::int64_t k = std::lrint(angle * TwoOverPi);
  const auto kd = static_cast<double>(k);
  const double r = ((angle - kd * HalfPi1) - kd * HalfPi2) - kd * HalfPi3;
  const double r2 = r * r;
  const double r4 = r2 * r2;
  const double r8 = r4 * r4;
  const double cosR = (1 - 0.5 * r2) + r4 * (C4 + C6 * r2) + r8 * ((C8 + C10 * r2) + C12 * r4);
  const double sinR = r * ((1 + S3 * r2) + r4 * (S5 + S7 * r2) + r8 * ((S9 + S11 * r2) + S13 * r4));
  return {k, sinR, cosR};
}

// Within 1e-14 of the library's sine and cosine, and the library's own
// beyond FastTrigLimit. Used only where a result is checked to be far from
// any rounding step it could change (see NearHalfStep).
struct FastTrig {
  [[gnu::always_inline]] static double Sin(double angle) {
    if (!(std::fabs(angle) < FastTrigLimit))
      return std::sin(angle);
    const Reduced q = Reduce(angle);
    switch (q.quadrant & 3) {
      case 0:
        return q.sinR;
      case 1:
        return q.cosR;
      case 2:
        return -q.sinR;
      default:
        return -q.cosR;
    }
  }
  [[gnu::always_inline]] static double Cos(double angle) {
    if (!(std::fabs(angle) < FastTrigLimit))
      return std::cos(angle);
    const Reduced q = Reduce(angle);
    switch (q.quadrant & 3) {
      case 0:
        return q.cosR;
      case 1:
        return -q.sinR;
      case 2:
        return -q.cosR;
      default:
        return q.sinR;
    }
  }
};

struct LibraryTrig {
  static double Sin(double angle) { return std::sin(angle); }
  static double Cos(double angle) { return std::cos(angle); }
};

// A value this close to a half step is recomputed with the library's sine
// and cosine. The fast ones move a target by less than 1e-9 codes (gain
// 2047, coordinates up to 4/3), so outside this band both round alike.
constexpr double TieBand = 0x1p-20;

bool NearHalfStep(double value) {
  return std::fabs(value - RoundToInt(value)) >= 0.5 - TieBand;
}

// cos(angle) to within 1e-12 for |angle| < FastTrigLimit, for the colour
// levels: the angle less the nearest multiple k of pi, then one even Taylor
// polynomial on |r| <= pi/2 (first omitted term 5e-13), with the sign of k.
[[gnu::always_inline]] inline double LevelCos(double angle) {
  if (!(std::fabs(angle) < FastTrigLimit))
    return std::cos(angle);
  const std::int64_t k = std::lrint(angle * (TwoOverPi / 2));
  const auto kd = static_cast<double>(k);
  const double r = ((angle - kd * (2 * HalfPi1)) - kd * (2 * HalfPi2)) - kd * (2 * HalfPi3);
  const double z = r * r;
  const double z2 = z * z;
  const double z4 = z2 * z2;
  const double low = (1 - 0.5 * z) + z2 * (C4 + C6 * z);
  const double high = (C8 + C10 * z) + z2 * (C12 + C14 * z);
  const double cosR = low + z4 * high + (z4 * z4) * C16;
  return k & 1 ? -cosR : cosR;
}

// Only the byte is kept, so the fast cosine serves wherever it cannot change
// the rounding; near a half step the library decides.
[[gnu::always_inline]] inline std::uint8_t Level(double angle) {
  const double level = 127 * LevelCos(angle) + 128;
  if (!NearHalfStep(level))
    return static_cast<std::uint8_t>(RoundToInt(level));
  return static_cast<std::uint8_t>(RoundToInt(127 * std::cos(angle) + 128));
}

struct FigurePoint {
  double x, y, z;
};

// The figure point of each operating mode from the phases u, v, w and the X phase p.
template <int Mode, class Trig>
FigurePoint Figure(double u, double v, double w, double p) {
  if constexpr (Mode == 1) {
    return {Trig::Cos(u + p), Trig::Sin(v), Trig::Sin(w)};
  } else if constexpr (Mode == 2) {
    const double s = Trig::Sin(w);
    return {s * Trig::Cos(u + p), s * Trig::Sin(v), s};
  } else if constexpr (Mode == 3) {
    const double a = (Trig::Sin(v + u) + 1) / 2;
    return {a * Trig::Cos(u + p), a * Trig::Sin(u), Trig::Sin(w)};
  } else if constexpr (Mode == 4) {
    return {Trig::Cos(u + p) * Trig::Cos(1.2 * u + p), Trig::Sin(v), Trig::Sin(w)};
  } else if constexpr (Mode == 5) {
    const double a = (Trig::Sin(v) + 1) / 2;
    return {a * Trig::Cos(u + p), a * Trig::Sin(u), Trig::Sin(w)};
  } else {
    static_assert(Mode == 6);
    const double a = (Trig::Cos(v) + 3) / 3;
    return {a * Trig::Cos(u + p), a * Trig::Sin(u), Trig::Sin(v) / 3};
  }
}

double ClampToDacRange(double target) {
  if (target < 0)
    target = 0;
  if (target > kDacTopCode)
    target = kDacTopCode;
  return target;
}

struct Target {
  double x, y;
};

// The clamped DAC position of one hold point. Stays a double: only the step
// rule below rounds it.
template <int Mode, class Trig>
Target TargetFor(const GeneratorState& s, const PatternParameters& p, const Rotation& rotation) {
  const FigurePoint f = Figure<Mode, Trig>(s.XAngle, s.YAngle, s.ZAngle, p.XPhase);
  const RotatedPoint r = rotation.Apply(f.x, f.y, f.z);
  return {ClampToDacRange(p.XGain * r.RotX + kDacCentreCode),
          ClampToDacRange(p.YGain * r.RotY + kDacCentreCode)};
}

// Moves at most stepLimit codes from last towards target. The test uses the
// rounded difference; an unlimited move lands on the rounded target itself.
std::int32_t LimitedStep(double target, std::int32_t last, std::int32_t stepLimit) {
  const std::int32_t d = RoundToInt(target - last);
  if (d > stepLimit)
    return last + stepLimit;
  if (d < -stepLimit)
    return last - stepLimit;
  return RoundToInt(target);
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
void PointLoop(const PatternParameters& p, GeneratorState& state, const Increments& inc,
               std::int32_t stepLimit, LaserPoint* out) {
  const Rotation rotation(p.XRot, p.YRot);
  // The state lives in locals for the frame: the byte stores below could
  // otherwise alias it and force a reload and a store at every point.
  GeneratorState s = state;
  Target target{};
  std::int32_t holdLeft = 0;  // points until the next hold point; i mod RepPoints == 0 there
  for (std::int32_t i = 0; i < p.PointsPerFrame; ++i) {
    if (holdLeft == 0) {
      holdLeft = p.RepPoints;
      if (inc.z == 0)
        s.ZAngle = 0;
      target = TargetFor<Mode, FastTrig>(s, p, rotation);
      if (NearHalfStep(target.x) || NearHalfStep(target.y))
        target = TargetFor<Mode, LibraryTrig>(s, p, rotation);
    }
    --holdLeft;
    s.XAngle += inc.x;
    s.YAngle += inc.y;
    s.ZAngle += inc.z;

    s.LastX = LimitedStep(target.x, s.LastX, stepLimit);
    s.LastY = LimitedStep(target.y, s.LastY, stepLimit);

    const std::uint8_t red = Level(s.RAngle);
    s.RAngle += inc.r;
    const std::uint8_t green = Level(s.GAngle);
    s.GAngle += inc.g;
    const std::uint8_t blue = Level(s.BAngle);
    s.BAngle += inc.b;
    const auto intensity = static_cast<std::uint8_t>(
        RoundToInt(kLuminanceGreen * green + kLuminanceRed * red + kLuminanceBlue * blue));

    out[i] = LaserPoint{static_cast<std::int16_t>(s.LastX),
                        static_cast<std::int16_t>(s.LastY),
                        red,
                        green,
                        blue,
                        intensity};
  }
  state = s;
}

}  // namespace

RotatedPoint RotatePoint(double x, double y, double z, double xRot, double yRot) {
  return Rotation(xRot, yRot).Apply(x, y, z);
}

std::uint8_t ColourLevel(double angle) {
  return Level(angle);
}

std::int32_t StepLimitFor(std::int32_t pointsPerSec, bool limitVelocity) {
  if (!limitVelocity)
    return kDacTopCode;
  return RoundToInt(kDacTopCode / (pointsPerSec / 1000.0));
}

std::int32_t PointPeriodFor(std::int32_t pointsPerSec) {
  return RoundToInt(kPeriodTicksPerSec / pointsPerSec);
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
