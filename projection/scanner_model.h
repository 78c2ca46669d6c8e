#pragma once
// A galvanometer scanner axis as the projection view models it: a damped
// second-order system that follows the DAC's held output, with a limit on
// its angular speed. Positions are in fields: the DAC's full range is one
// field, -0.5 at code 0 and +0.5 at code 4095.

#include <cmath>
#include <cstdint>

namespace whorlgen::projection {

struct ScannerParameters {
  double NaturalFrequencyHz = 2400.0;
  double Damping = 0.7;
  double SlewLimitFieldsPerSec = 0.0;  // the fastest the mirror turns, in fields per second
};

// The speed rating follows the ILDA convention: a scanner rated R points per
// second draws the ILDA test pattern correctly at R points per second at 8
// degrees optical. Drawn correctly, the pattern's circle shrinks to touch its
// square, about the -3 dB point, and a 30,000 rating corresponds to about
// 2.4 kHz of small-step bandwidth. With damping 0.7 the -3 dB point lies at
// the natural frequency, so fn = 2.4 kHz x R / 30,000: the pattern's content
// scales with the point rate. The linear part does not depend on the angle;
// the mirror's top speed does: at 8 degrees the scanner must carry a
// full-field sine at fn (amplitude half a field, attenuated by 1 / 2z there)
// without slewing, and that angular speed in degrees per second is the same
// at every angle, so in fields per second it falls as 8 / scanAngle.
ScannerParameters ScannerParametersFor(double ratingPointsPerSec, double scanAngleDeg);

// How many points the scanner's low-frequency lag (2 z / wn) lasts at this
// point rate: the colour shift that lines colour up with position.
std::int32_t SuggestedColourShiftPoints(const ScannerParameters& scanner,
                                        std::int32_t pointsPerSec);

// The small-signal lag in seconds, 2 z / wn.
double LagSeconds(const ScannerParameters& scanner);

// One axis. Over a step of h seconds the DAC holds its command constant, so
// the linear motion is advanced by the exact transition matrix of the
// system for h: the position at the end of each step is exact, whatever the
// step. A step in which the mirror would turn faster than its slew limit is
// taken in finer parts, each at most at the limit, so that slewing too
// depends little on the step.
class ScannerAxis {
 public:
  // Prepares the transition for steps of stepSeconds. Damping in (0, 1).
  void Configure(const ScannerParameters& scanner, double stepSeconds);
  // Advances one step of the configured length towards the held command.
  void Step(double command) {
    const double error = position_ - command;
    const double nextVelocity = a21_ * error + a22_ * velocity_;
    if (std::abs(nextVelocity) <= slewLimit_ && std::abs(velocity_) < slewLimit_) {
      position_ = command + a11_ * error + a12_ * velocity_;
      velocity_ = nextVelocity;
      return;
    }
    StepSlewing(command);
  }
  void Reset(double position) {
    position_ = position;
    velocity_ = 0.0;
  }
  double Position() const { return position_; }
  double Velocity() const { return velocity_; }

 private:
  // A step near or at the slew limit, taken in finer parts so that the
  // moments the mirror reaches and leaves its top speed fall where they should.
  void StepSlewing(double command);

  static constexpr int kSlewParts = 16;
  double a11_ = 1, a12_ = 0, a21_ = 0, a22_ = 1;  // over one step
  double b11_ = 1, b12_ = 0, b21_ = 0, b22_ = 1;  // over one part of a step
  double slewLimit_ = 0;
  double stepSeconds_ = 0;
  double position_ = 0;
  double velocity_ = 0;
};

}  // namespace whorlgen::projection
