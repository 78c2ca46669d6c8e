#pragma once
// The analysis of one mono input with aubio, hop by hop: onsets, beats and
// tempo (aubio_tempo), and band levels from a phase vocoder and a filter
// bank of rectangular bands. Single-threaded: the analysis thread owns it.

#include <memory>
#include <vector>

#include "analysis/music_values.h"

namespace whorlgen::analysis {

class MusicAnalyser {
 public:
  explicit MusicAnalyser(std::uint32_t sampleRate);
  ~MusicAnalyser();
  MusicAnalyser(const MusicAnalyser&) = delete;
  MusicAnalyser& operator=(const MusicAnalyser&) = delete;

  // Analyses the next kHopSamples samples; the events found in them are
  // appended to `events`.
  void ProcessHop(const float* samples, std::vector<MusicEvent>& events);
  const MusicValues& Values() const { return values_; }

 private:
  struct Aubio;
  std::unique_ptr<Aubio> aubio_;
  MusicValues values_;
};

}  // namespace whorlgen::analysis
