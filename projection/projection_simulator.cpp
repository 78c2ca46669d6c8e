#include "projection/projection_simulator.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace whorlgen::projection {

namespace {
// Light is drawn in straight pieces no longer than this part of the
// scanner's period, so the curved path between two points keeps its shape.
constexpr double kSubstepsPerPeriod = 8.0;
constexpr int kMaxSubsteps = 32;
// The beam is compared with the commanded path this many lags back.
constexpr double kLagsSearched = 3.0;

double SquaredDistanceToSegment(double px, double py, double ax, double ay, double bx, double by) {
  const double dx = bx - ax, dy = by - ay;
  const double length2 = dx * dx + dy * dy;
  double t = length2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / length2 : 0.0;
  t = std::clamp(t, 0.0, 1.0);
  const double ex = px - (ax + t * dx), ey = py - (ay + t * dy);
  return ex * ex + ey * ey;
}
}  // namespace

ProjectionSimulator::ProjectionSimulator(const ScannerParameters& scanner) {
  SetScanner(scanner);
}

void ProjectionSimulator::SetScanner(const ScannerParameters& scanner) {
  scanner_ = scanner;
  configuredPointsPerSec_ = 0;
  x_.Reset(0);
  y_.Reset(0);
  recentCount_ = 0;
}

void ProjectionSimulator::Configure(std::int32_t pointsPerSec) {
  const double pointSec = 1.0 / pointsPerSec;
  substeps_ = std::clamp(
      static_cast<int>(std::ceil(pointSec * scanner_.NaturalFrequencyHz * kSubstepsPerPeriod)), 1,
      kMaxSubsteps);
  substepSec_ = pointSec / substeps_;
  x_.Configure(scanner_, substepSec_);
  y_.Configure(scanner_, substepSec_);
  lagPoints_ = static_cast<int>(std::lrint(LagSeconds(scanner_) * pointsPerSec));
  recent_.assign(static_cast<std::size_t>(std::ceil(kLagsSearched * (lagPoints_ + 1))) + 2,
                 Command{0, 0});
  recentStart_ = 0;
  recentCount_ = 0;
  configuredPointsPerSec_ = pointsPerSec;
}

bool ProjectionSimulator::Strays(double x, double y) const {
  // The beam lags its command by about lagPoints_, so the nearest piece of
  // the path is looked at first and the search stops at the first one close
  // enough.
  const auto n = static_cast<std::ptrdiff_t>(recentCount_);
  if (n < 2)
    return false;
  auto at = [this](std::ptrdiff_t i) -> const Command& {
    return recent_[(recentStart_ + static_cast<std::size_t>(i)) % recent_.size()];
  };
  const std::ptrdiff_t newest = n - 1;
  const std::ptrdiff_t first = std::clamp<std::ptrdiff_t>(newest - lagPoints_, 1, newest);
  for (std::ptrdiff_t d = 0; d < n; ++d) {
    for (std::ptrdiff_t i : {first - d, first + d + 1}) {
      if (i < 1 || i > newest)
        continue;
      const Command& a = at(i - 1);
      const Command& b = at(i);
      if (SquaredDistanceToSegment(x, y, a.X, a.Y, b.X, b.Y) <= strayFraction_ * strayFraction_)
        return false;
    }
    if (first - d < 1 && first + d + 1 > newest)
      break;
  }
  return true;
}

void ProjectionSimulator::PlayFrame(std::span<const engine::LaserPoint> frame,
                                    std::int32_t pointsPerSec, BeamImage& image) {
  strayPoints_ = 0;
  if (pointsPerSec <= 0)
    return;
  if (pointsPerSec != configuredPointsPerSec_)
    Configure(pointsPerSec);
  for (const engine::LaserPoint& point : frame) {
    const Command command{FieldPosition(point.X), FieldPosition(point.Y)};
    if (recentCount_ < recent_.size()) {
      recent_[(recentStart_ + recentCount_++) % recent_.size()] = command;
    } else {
      recent_[recentStart_] = command;
      recentStart_ = (recentStart_ + 1) % recent_.size();
    }
    const Rgb colour{static_cast<float>(point.R), static_cast<float>(point.G),
                     static_cast<float>(point.B)};
    std::array<Command, kMaxSubsteps + 1> path;
    path[0] = {x_.Position(), y_.Position()};
    for (int s = 0; s < substeps_; ++s) {
      x_.Step(command.X);
      y_.Step(command.Y);
      path[s + 1] = {x_.Position(), y_.Position()};
      image.AddPath(path[s].X, path[s].Y, path[s + 1].X, path[s + 1].Y, colour, substepSec_);
      image.Advance(substepSec_);
    }
    const bool lit = point.R != 0 || point.G != 0 || point.B != 0;
    if (lit && Strays(x_.Position(), y_.Position())) {
      ++strayPoints_;
      // The haze follows the beam's own path through this point.
      for (int s = 0; s < substeps_; ++s)
        image.AddStrayPath(path[s].X, path[s].Y, path[s + 1].X, path[s + 1].Y);
    }
  }
}

}  // namespace whorlgen::projection
