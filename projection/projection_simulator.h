#pragma once
// The projection view's simulation: the frames sent to a DAC, played through
// a modelled pair of scanners at their point rate, drawn as light into a
// BeamImage, with the places marked where the beam strays from the
// commanded path by more than a set fraction of the field.

#include <cstdint>
#include <span>
#include <vector>

#include "engine/frame_generator.h"
#include "projection/beam_image.h"
#include "projection/scanner_model.h"

namespace whorlgen::projection {

// DAC code 0..4095 to field position -0.5..+0.5.
inline double FieldPosition(std::int16_t code) {
  return (code - 2047.5) / 4095.0;
}

class ProjectionSimulator {
 public:
  static constexpr double kDefaultStrayFraction = 0.02;

  explicit ProjectionSimulator(const ScannerParameters& scanner = {});

  // A new scanner or a new start: the mirrors stand at the centre.
  void SetScanner(const ScannerParameters& scanner);
  void SetStrayFraction(double fractionOfField) { strayFraction_ = fractionOfField; }

  // Plays one frame at pointsPerSec, continuing from where the last ended.
  void PlayFrame(std::span<const engine::LaserPoint> frame, std::int32_t pointsPerSec,
                 BeamImage& image);

  // The last frame's lit points at which the beam strayed.
  std::int32_t StrayPoints() const { return strayPoints_; }
  double X() const { return x_.Position(); }
  double Y() const { return y_.Position(); }

 private:
  struct Command {
    double X, Y;
  };
  void Configure(std::int32_t pointsPerSec);
  bool Strays(double x, double y) const;

  ScannerParameters scanner_;
  ScannerAxis x_, y_;
  std::int32_t configuredPointsPerSec_ = 0;
  int substeps_ = 1;
  double substepSec_ = 0;
  int lagPoints_ = 0;
  double strayFraction_ = kDefaultStrayFraction;
  std::int32_t strayPoints_ = 0;
  // The latest commanded points, oldest first: the path the beam follows.
  std::vector<Command> recent_;
  std::size_t recentStart_ = 0;
  std::size_t recentCount_ = 0;
};

}  // namespace whorlgen::projection
