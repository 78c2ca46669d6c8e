#include "projection/scanner_model.h"

#include <cassert>
#include <cmath>
#include <numbers>

namespace whorlgen::projection {

namespace {
constexpr double kReferenceRatingPointsPerSec = 30000.0;
constexpr double kReferenceBandwidthHz = 2400.0;
constexpr double kRatingAngleDeg = 8.0;
constexpr double kDamping = 0.7;
}  // namespace

ScannerParameters ScannerParametersFor(double ratingPointsPerSec, double scanAngleDeg) {
  ScannerParameters scanner;
  scanner.Damping = kDamping;
  scanner.NaturalFrequencyHz =
      kReferenceBandwidthHz * ratingPointsPerSec / kReferenceRatingPointsPerSec;
  const double wn = 2.0 * std::numbers::pi * scanner.NaturalFrequencyHz;
  const double slewAtRatedAngle = wn * 0.5 / (2.0 * kDamping);
  scanner.SlewLimitFieldsPerSec = slewAtRatedAngle * kRatingAngleDeg / scanAngleDeg;
  return scanner;
}

double LagSeconds(const ScannerParameters& scanner) {
  return 2.0 * scanner.Damping / (2.0 * std::numbers::pi * scanner.NaturalFrequencyHz);
}

std::int32_t SuggestedColourShiftPoints(const ScannerParameters& scanner,
                                        std::int32_t pointsPerSec) {
  return static_cast<std::int32_t>(std::lrint(LagSeconds(scanner) * pointsPerSec));
}

namespace {
// e = position - command obeys e'' + 2 z wn e' + wn^2 e = 0 while the
// command is held; its solution over h is exp(A h) applied to (e, e').
void Transition(const ScannerParameters& scanner, double h, double& m11, double& m12, double& m21,
                double& m22) {
  const double wn = 2.0 * std::numbers::pi * scanner.NaturalFrequencyHz;
  const double sigma = scanner.Damping * wn;
  const double wd = wn * std::sqrt(1.0 - scanner.Damping * scanner.Damping);
  const double decay = std::exp(-sigma * h);
  const double c = std::cos(wd * h);
  const double s = std::sin(wd * h);
  m11 = decay * (c + sigma / wd * s);
  m12 = decay * s / wd;
  m21 = -decay * wn * wn / wd * s;
  m22 = decay * (c - sigma / wd * s);
}
}  // namespace

void ScannerAxis::Configure(const ScannerParameters& scanner, double stepSeconds) {
  assert(scanner.Damping > 0.0 && scanner.Damping < 1.0);
  Transition(scanner, stepSeconds, a11_, a12_, a21_, a22_);
  Transition(scanner, stepSeconds / kSlewParts, b11_, b12_, b21_, b22_);
  slewLimit_ = scanner.SlewLimitFieldsPerSec > 0 ? scanner.SlewLimitFieldsPerSec : HUGE_VAL;
  stepSeconds_ = stepSeconds;
}

void ScannerAxis::StepSlewing(double command) {
  const double partSeconds = stepSeconds_ / kSlewParts;
  double error = position_ - command;
  for (int i = 0; i < kSlewParts; ++i) {
    double nextError = b11_ * error + b12_ * velocity_;
    double nextVelocity = b21_ * error + b22_ * velocity_;
    if (std::abs(nextVelocity) > slewLimit_) {
      nextVelocity = std::copysign(slewLimit_, nextVelocity);
      // The speed changes across the part: it moves at the mean speed.
      nextError = error + 0.5 * (velocity_ + nextVelocity) * partSeconds;
      // A slewing mirror does not run past the command it is chasing.
      if (error != 0 && (error < 0) != (nextError < 0))
        nextError = 0;
    }
    error = nextError;
    velocity_ = nextVelocity;
  }
  position_ = command + error;
}

}  // namespace whorlgen::projection
