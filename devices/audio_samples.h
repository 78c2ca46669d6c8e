#pragma once
// How the sound-card DAC turns laser points into audio: one audio frame per
// point, interleaved signed 16-bit samples. The layout decides the channels:
// X and Y only (left X, right Y, for an oscilloscope or a pair of scanners),
// or X, Y, R, G, B, I for a laser; the axes may be inverted or swapped and
// every channel scaled to an output level.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "devices/dac_api.h"

namespace whorlgen::devices {

inline constexpr unsigned kPointChannels = 6;
inline constexpr unsigned kXYChannels = 2;

struct SampleLayout {
  unsigned Channels = kPointChannels;  // 2 (X/Y) or 6 (X/Y/R/G/B/I)
  bool InvertX = false;
  bool InvertY = false;
  bool SwapXY = false;  // X on the second channel, Y on the first
  int LevelPercent = 100;
};

// DAC code 0..4095 around the centre 2048, full scale: 0 gives -32768 and
// 4095 gives 32752. A code outside the range is held at the ends.
constexpr std::int16_t PositionSample(std::int16_t code) {
  return static_cast<std::int16_t>(std::clamp((code - 2048) * 16, -32768, 32767));
}

// Level 0..255 to 0..32640: dark is silence, never a negative swing.
constexpr std::int16_t LevelSample(std::uint8_t level) {
  return static_cast<std::int16_t>(level * 128);
}

// The mirror image about the centre; -32768 has no mirror and gives 32767.
constexpr std::int16_t InvertedSample(std::int16_t sample) {
  return static_cast<std::int16_t>(std::min(-static_cast<int>(sample), 32767));
}

// Writes count x layout.Channels samples to `samples`.
inline void PointsToSamples(const DacPoint* points, std::size_t count, const SampleLayout& layout,
                            std::int16_t* samples) {
  const unsigned used = std::min(layout.Channels, kPointChannels);
  const bool scaled = layout.LevelPercent != 100;
  const double scale = layout.LevelPercent / 100.0;
  for (std::size_t n = 0; n < count; ++n) {
    const DacPoint& p = points[n];
    std::int16_t x = PositionSample(p.x);
    std::int16_t y = PositionSample(p.y);
    if (layout.InvertX)
      x = InvertedSample(x);
    if (layout.InvertY)
      y = InvertedSample(y);
    if (layout.SwapXY)
      std::swap(x, y);
    std::int16_t all[kPointChannels] = {
        x, y, LevelSample(p.r), LevelSample(p.g), LevelSample(p.b), LevelSample(p.i)};
    if (scaled) {
      for (std::int16_t& sample : all)
        sample = static_cast<std::int16_t>(std::lrint(sample * scale));
    }
    std::copy_n(all, used, samples);
    std::fill(samples + used, samples + layout.Channels, std::int16_t{0});
    samples += layout.Channels;
  }
}

}  // namespace whorlgen::devices
