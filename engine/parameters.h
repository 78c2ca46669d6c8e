#pragma once
// The pattern parameters that the panel sets, the generator state that
// carries the figure from frame to frame, and the mappings from a scroll
// bar position to each parameter. Plain data: no toolkit in here.

#include <cmath>
#include <cstdint>

namespace whorlgen::engine {

// Both come from the arctangent of 1, which gives the doubles nearest to pi and 2 pi.
inline const double Pi = 4.0 * std::atan(1.0);
inline const double TwoPi = 8.0 * std::atan(1.0);

// The fourteen user parameters. Only the controls keep them in range.
struct PatternParameters {
  std::int32_t RepPoints = 0;       // output points per computed position, 1..31
  std::int32_t XGain = 0;           // DAC codes per unit of figure coordinate, 0..2047
  std::int32_t YGain = 0;           // DAC codes per unit of figure coordinate, 0..2047
  double XPhase = 0.0;              // radians, -pi/2..pi/2
  double XRot = 0.0;                // radians, -pi/2..pi/2
  double YRot = 0.0;                // radians, -pi/2..pi/2
  double XFreq = 0.0;               // Hz at the nominal point rate, 0..200
  double YFreq = 0.0;               // Hz, 0..200
  double ZFreq = 0.0;               // Hz, 0..200
  std::int32_t RFreq = 0;           // Hz, 0..1000
  std::int32_t GFreq = 0;           // Hz, 0..1000
  std::int32_t BFreq = 0;           // Hz, 0..1000
  std::int32_t PointsPerSec = 0;    // nominal point rate, 5000..48000, even
  std::int32_t PointsPerFrame = 0;  // points in every frame, 500..16000

  friend bool operator==(const PatternParameters&, const PatternParameters&) = default;
};

// The oscillator phases and the last point, kept across frames and runs.
// The angles grow without bound; reducing them would change the figure.
struct GeneratorState {
  double XAngle = 0.0;
  double YAngle = 0.0;
  double ZAngle = 0.0;
  double RAngle = 0.0;
  double GAngle = 0.0;
  double BAngle = 0.0;
  std::int32_t LastX = 0;  // DAC code of the last point; base of the velocity limit
  std::int32_t LastY = 0;

  // Start of a run: the phases begin again, the beam position does not.
  void ResetPhases();
};

// Scroll bar position v (16-bit) to parameter.
std::int32_t RepPointsFromPosition(std::int16_t v);
std::int32_t GainFromPosition(std::int16_t v);
double AngleFromPosition(std::int16_t v);
double FigureFreqFromPosition(std::int16_t v);
std::int32_t ColourFreqFromPosition(std::int16_t v);
std::int32_t PointsPerSecFromPosition(std::int16_t v);
std::int32_t PointsPerFrameFromPosition(std::int16_t v);

// The values a freshly loaded panel stands for (500 points at 15000 points
// per second, X and Y at 25 Hz, Z at 17 Hz, colours at 50, 55 and 60 Hz).
PatternParameters StartupParameters();

}  // namespace whorlgen::engine
