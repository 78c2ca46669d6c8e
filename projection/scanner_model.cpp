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

void ScannerAxis::Configure(const ScannerParameters& scanner, double stepSeconds) {
  assert(scanner.Damping > 0.0 && scanner.Damping < 1.0);
  // e = position - command obeys e'' + 2 z wn e' + wn^2 e = 0 while the
  // command is held; its solution over h is exp(A h) applied to (e, e').
  const double wn = 2.0 * std::numbers::pi * scanner.NaturalFrequencyHz;
  const double sigma = scanner.Damping * wn;
  const double wd = wn * std::sqrt(1.0 - scanner.Damping * scanner.Damping);
  const double decay = std::exp(-sigma * stepSeconds);
  const double c = std::cos(wd * stepSeconds);
  const double s = std::sin(wd * stepSeconds);
  a11_ = decay * (c + sigma / wd * s);
  a12_ = decay * s / wd;
  a21_ = -decay * wn * wn / wd * s;
  a22_ = decay * (c - sigma / wd * s);
  slewLimit_ = scanner.SlewLimitFieldsPerSec > 0 ? scanner.SlewLimitFieldsPerSec : HUGE_VAL;
  stepSeconds_ = stepSeconds;
}

}  // namespace whorlgen::projection
