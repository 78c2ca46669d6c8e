#pragma once
// Numbers every part of the program shares about a laser DAC: its code range,
// the clock the RIYA period counts in, how bright a colour looks, and how
// long a number of points takes to play.

#include <chrono>
#include <cstdint>

namespace whorlgen::engine {

// 12-bit DAC codes: 0 to 4095, the centre at 2048.
inline constexpr std::int32_t kDacCentreCode = 2048;
inline constexpr std::int32_t kDacTopCode = 4095;

// The RIYA period value counts ticks of this clock (about 30 ns each), so a
// block plays at kPeriodTicksPerSec / period points per second.
inline constexpr double kPeriodTicksPerSec = 33333333.0;

// Weights of red, green and blue in a point's intensity byte.
inline constexpr double kLuminanceRed = 0.3;
inline constexpr double kLuminanceGreen = 0.59;
inline constexpr double kLuminanceBlue = 0.11;

// How long `points` points take to play at `pointsPerSec`; zero for no
// points or no rate.
inline std::chrono::nanoseconds PlayingTime(std::int64_t points, double pointsPerSec) {
  if (points <= 0 || !(pointsPerSec > 0.0))
    return std::chrono::nanoseconds::zero();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(static_cast<double>(points) / pointsPerSec));
}

}  // namespace whorlgen::engine
