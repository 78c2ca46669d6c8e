#pragma once
// How the sound-card DAC turns laser points into audio: one audio frame per
// point, interleaved signed 16-bit samples in the channel order X, Y, R, G,
// B, I. A card with fewer channels gets the first ones (at least X and Y);
// channels beyond the sixth stay silent.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "devices/dac_api.h"

namespace whorlgen::devices {

inline constexpr unsigned kPointChannels = 6;

// DAC code 0..4095 around the centre 2048, full scale: 0 gives -32768 and
// 4095 gives 32752. A code outside the range is held at the ends.
constexpr std::int16_t PositionSample(std::int16_t code) {
  return static_cast<std::int16_t>(std::clamp((code - 2048) * 16, -32768, 32767));
}

// Level 0..255 to 0..32640: dark is silence, never a negative swing.
constexpr std::int16_t LevelSample(std::uint8_t level) {
  return static_cast<std::int16_t>(level * 128);
}

// Writes count x channels samples to `samples`.
inline void PointsToSamples(const DacPoint* points, std::size_t count, unsigned channels,
                            std::int16_t* samples) {
  for (std::size_t n = 0; n < count; ++n) {
    const DacPoint& p = points[n];
    const std::int16_t all[kPointChannels] = {PositionSample(p.x), PositionSample(p.y),
                                              LevelSample(p.r),    LevelSample(p.g),
                                              LevelSample(p.b),    LevelSample(p.i)};
    const unsigned used = std::min(channels, kPointChannels);
    std::copy_n(all, used, samples);
    std::fill(samples + used, samples + channels, std::int16_t{0});
    samples += channels;
  }
}

}  // namespace whorlgen::devices
