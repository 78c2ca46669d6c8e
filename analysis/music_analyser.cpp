#include "analysis/music_analyser.h"

#include <aubio/aubio.h>

#include <algorithm>
#include <cmath>

namespace whorlgen::analysis {

namespace {

// Beats look at 1024 samples a step of 256: at 512, aubio places beats on a
// grid of 10.7 ms and its tempo comes out 1 % fast. Onsets look at 512
// samples a step of 128, so one is known about 11 ms after it sounds rather
// than 20. The bands look at 2048 samples, fine enough to part the lowest
// band (20 to 47 Hz) from the next.
constexpr uint_t kTempoWindow = 1024;
constexpr uint_t kTempoStep = 256;
constexpr uint_t kOnsetWindow = 512;
constexpr uint_t kOnsetStep = 128;
constexpr uint_t kBandWindow = 2048;
constexpr double kFloor_dB = -60.0;

// Band edges in Hz: low, mid, high, then the eight bands.
constexpr int kSummaryBands = 3;
constexpr int kAllBands = kSummaryBands + kBandCount;

struct Edges {
  double Lower;
  double Upper;
};

std::array<Edges, kAllBands> BandEdges(double nyquist) {
  std::array<Edges, kAllBands> edges{};
  edges[0] = {20.0, 250.0};
  edges[1] = {250.0, 4000.0};
  edges[2] = {4000.0, nyquist};
  // 20 Hz to 20 kHz in eight equal steps of pitch: 20 x 1000^(i/8).
  for (int i = 0; i < kBandCount; ++i)
    edges[kSummaryBands + i] = {20.0 * std::pow(1000.0, i / 8.0),
                                20.0 * std::pow(1000.0, (i + 1) / 8.0)};
  return edges;
}

// A windowed spectrum's energy over one side, back to the mean square of the
// signal that made it: Parseval's sum, halved for one side, over the
// Hann window's sum of squares (3N/8).
double MeanSquareFromEnergy(double energy) {
  const double n = kBandWindow;
  return 16.0 * energy / (3.0 * n * n);
}

// 0 at -60 dB or less, 1 at a full-scale sine (mean square 1/2).
float LevelFromMeanSquare(double meanSquare) {
  if (meanSquare <= 0.0)
    return 0.0F;
  const double dB = 10.0 * std::log10(2.0 * meanSquare);
  return static_cast<float>(std::clamp(1.0 - dB / kFloor_dB, 0.0, 1.0));
}

}  // namespace

struct MusicAnalyser::Aubio {
  fvec_t* hop = nullptr;
  fvec_t* tempoStep = nullptr;
  fvec_t* onsetStep = nullptr;
  fvec_t* tempoOut = nullptr;
  fvec_t* onsetOut = nullptr;
  fvec_t* bandEnergy = nullptr;
  cvec_t* spectrum = nullptr;
  aubio_tempo_t* tempo = nullptr;
  aubio_onset_t* onset = nullptr;
  aubio_pvoc_t* pvoc = nullptr;
  aubio_filterbank_t* bank = nullptr;

  ~Aubio() {
    if (bank != nullptr)
      del_aubio_filterbank(bank);
    if (pvoc != nullptr)
      del_aubio_pvoc(pvoc);
    if (onset != nullptr)
      del_aubio_onset(onset);
    if (tempo != nullptr)
      del_aubio_tempo(tempo);
    for (fvec_t* v : {hop, tempoStep, onsetStep, tempoOut, onsetOut, bandEnergy})
      if (v != nullptr)
        del_fvec(v);
    if (spectrum != nullptr)
      del_cvec(spectrum);
  }
};

MusicAnalyser::MusicAnalyser(std::uint32_t sampleRate) : aubio_(std::make_unique<Aubio>()) {
  values_.SampleRate = sampleRate;
  Aubio& a = *aubio_;
  a.hop = new_fvec(kHopSamples);
  a.tempoStep = new_fvec(kTempoStep);
  a.onsetStep = new_fvec(kOnsetStep);
  a.tempoOut = new_fvec(2);
  a.onsetOut = new_fvec(2);
  a.bandEnergy = new_fvec(kAllBands);
  a.spectrum = new_cvec(kBandWindow);
  a.tempo = new_aubio_tempo("default", kTempoWindow, kTempoStep, sampleRate);
  a.onset = new_aubio_onset("default", kOnsetWindow, kOnsetStep, sampleRate);
  a.pvoc = new_aubio_pvoc(kBandWindow, kHopSamples);
  a.bank = new_aubio_filterbank(kAllBands, kBandWindow);
  // Every bin whose centre lies in a band counts once, as |X|^2.
  aubio_filterbank_set_power(a.bank, 2);
  fmat_t* coeffs = aubio_filterbank_get_coeffs(a.bank);
  const double binHz = static_cast<double>(sampleRate) / kBandWindow;
  const auto edges = BandEdges(sampleRate / 2.0);
  for (int band = 0; band < kAllBands; ++band) {
    for (uint_t bin = 1; bin < coeffs->length; ++bin) {
      const double hz = bin * binHz;
      coeffs->data[band][bin] = hz >= edges[band].Lower && hz < edges[band].Upper ? 1.0F : 0.0F;
    }
  }
}

MusicAnalyser::~MusicAnalyser() = default;

void MusicAnalyser::ProcessHop(const float* samples, std::vector<MusicEvent>& events) {
  Aubio& a = *aubio_;
  std::copy(samples, samples + kHopSamples, a.hop->data);

  for (uint_t at = 0; at < kHopSamples; at += kOnsetStep) {
    std::copy(samples + at, samples + at + kOnsetStep, a.onsetStep->data);
    aubio_onset_do(a.onset, a.onsetStep, a.onsetOut);
    if (a.onsetOut->data[0] != 0.0F) {
      ++values_.Onsets;
      values_.LastOnsetSample = aubio_onset_get_last(a.onset);
      events.push_back({MusicEvent::Kind::Onset, values_.LastOnsetSample});
    }
  }
  for (uint_t at = 0; at < kHopSamples; at += kTempoStep) {
    std::copy(samples + at, samples + at + kTempoStep, a.tempoStep->data);
    aubio_tempo_do(a.tempo, a.tempoStep, a.tempoOut);
    if (a.tempoOut->data[0] != 0.0F) {
      ++values_.Beats;
      values_.LastBeatSample = aubio_tempo_get_last(a.tempo);
      events.push_back({MusicEvent::Kind::Beat, values_.LastBeatSample});
    }
  }
  const double bpm = aubio_tempo_get_bpm(a.tempo);
  values_.Bpm = std::isfinite(bpm) && bpm > 0.0 ? bpm : 0.0;

  aubio_pvoc_do(a.pvoc, a.hop, a.spectrum);
  aubio_filterbank_do(a.bank, a.spectrum, a.bandEnergy);
  const float* energy = a.bandEnergy->data;
  values_.Low = LevelFromMeanSquare(MeanSquareFromEnergy(energy[0]));
  values_.Mid = LevelFromMeanSquare(MeanSquareFromEnergy(energy[1]));
  values_.High = LevelFromMeanSquare(MeanSquareFromEnergy(energy[2]));
  double total = 0.0;
  for (int i = 0; i < kBandCount; ++i)
    values_.Bands[i] = LevelFromMeanSquare(MeanSquareFromEnergy(energy[kSummaryBands + i]));
  for (int i = 0; i < kSummaryBands; ++i)
    total += energy[i];
  values_.Level = LevelFromMeanSquare(MeanSquareFromEnergy(total));
  values_.Samples += kHopSamples;
}

}  // namespace whorlgen::analysis
