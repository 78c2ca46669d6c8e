#pragma once
// What the analysis of the music publishes: band levels, onsets, beats and
// the tempo, counted in samples of the input since it was opened.

#include <array>
#include <cstdint>

namespace whorlgen::analysis {

inline constexpr int kBandCount = 8;
// Samples analysed at a time.
inline constexpr unsigned kHopSamples = 512;

struct MusicValues {
  std::uint64_t Samples = 0;  // analysed since the input opened
  std::uint64_t Onsets = 0;   // counted since the input opened
  std::uint64_t Beats = 0;
  std::uint64_t LastOnsetSample = 0;
  std::uint64_t LastBeatSample = 0;
  double Bpm = 0.0;  // 0 until a tempo is found
  // Levels from 0 (-60 dB or less) to 1 (a full-scale sine), each band's
  // share of the input over the last analysis window.
  float Low = 0.0F;                       // 20 to 250 Hz
  float Mid = 0.0F;                       // 250 to 4000 Hz
  float High = 0.0F;                      // 4000 Hz and up
  std::array<float, kBandCount> Bands{};  // eight bands from 20 Hz, 1.25 octaves each
  float Level = 0.0F;                     // the whole input
  std::uint32_t SampleRate = 0;
};

// One onset or beat, where it lies in the input.
struct MusicEvent {
  enum class Kind { Onset, Beat };
  Kind What = Kind::Onset;
  std::uint64_t Sample = 0;
};

}  // namespace whorlgen::analysis
