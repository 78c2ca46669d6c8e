// The music's analysis and the modulation matrix at 48 kHz, hop 512, paced in
// real time as a sound card delivers audio: a click track with a bass line
// goes through the input's ring to the analysis thread while frames of the
// start-up values (30 a second) run the matrix (eight rows) on this thread.
// Reports the CPU time of the analysis and the frames as a share of one core
// (target: under 3 %)
// and the time from a click entering the input to the first frame whose bar
// carries it (target: under one frame plus one hop, about 44 ms).

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <nlohmann/json.hpp>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "analysis/music_analyser.h"
#include "analysis/music_input.h"
#include "bench/bench_support.h"
#include "modulation/modulator.h"

using whorlgen::bench::ProcessCpuSeconds;
namespace {

using namespace whorlgen;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kRate = 48000;
// 123 BPM: no whole number of frames, so the clicks fall at every point of a frame.
constexpr std::uint64_t kClickEvery = kRate * 60 / 123;
constexpr double kFrame_s = 500.0 / 15000.0;  // the start-up frame

// Hands a hop of 512 samples to the ring each time one would have been
// captured, and notes when each click's first sample was captured.
class PacedClicks final : public analysis::AudioSource {
 public:
  ~PacedClicks() override { Stop(); }
  std::string Open() override { return {}; }
  void Start(analysis::SampleRing& ring) override {
    thread_ = std::thread([this, &ring] { Play(ring); });
  }
  void Stop() override {
    stop_ = true;
    if (thread_.joinable())
      thread_.join();
  }
  std::uint32_t SampleRate() const override { return kRate; }
  std::string Description() const override { return "paced click track"; }

  // When each click's first sample was captured, and when its hop was handed over.
  struct Click {
    Clock::time_point Captured;
    Clock::time_point HandedOver;
  };
  std::vector<Click> Clicks() {
    const std::lock_guard lock(mutex_);
    return clicks_;
  }
  // The CPU time of the thread standing in for the sound card, once stopped.
  double CpuSeconds() const { return cpuSeconds_; }

 private:
  // The whole track is made before the clock starts: its making is no part
  // of what is measured.
  static std::vector<float> Track() {
    std::mt19937 noise(3);
    std::uniform_real_distribution<float> uniform(-1.0F, 1.0F);
    std::vector<float> track(kRate * 12);
    for (std::uint64_t n = 0; n < track.size(); ++n) {
      const std::uint64_t intoBeat = n % kClickEvery;
      float sample = 0.001F * uniform(noise) +
                     0.3F * static_cast<float>(std::sin(2.0 * std::numbers::pi * 55.0 * n / kRate));
      if (intoBeat < kRate / 50)
        sample += 0.8F * uniform(noise) * std::exp(-static_cast<float>(intoBeat) / 240.0F);
      track[n] = sample;
    }
    return track;
  }

  void Play(analysis::SampleRing& ring) {
    const Clock::time_point start = Clock::now();
    for (std::uint64_t n = 0; !stop_ && n + analysis::kHopSamples <= track_.size();) {
      const std::uint64_t hopStart = n;
      n += analysis::kHopSamples;
      const auto capturedAt = [&](std::uint64_t sample) {
        return start + std::chrono::nanoseconds(sample * 1'000'000'000ULL / kRate);
      };
      // A sound card hands over a hop once its last sample is in.
      std::this_thread::sleep_until(capturedAt(n));
      ring.Write(track_.data() + hopStart, analysis::kHopSamples);
      const std::uint64_t click = (hopStart + kClickEvery - 1) / kClickEvery * kClickEvery;
      if (click < n) {
        const std::lock_guard lock(mutex_);
        clicks_.push_back({capturedAt(click), Clock::now()});
      }
    }
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    cpuSeconds_ = static_cast<double>(cpu.tv_sec) + cpu.tv_nsec / 1e9;
  }

  std::vector<float> track_ = Track();
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Click> clicks_;
  std::atomic<double> cpuSeconds_{0.0};
};

// The panel's bars as plain numbers.
class Bars final : public modulation::PanelDoor {
 public:
  int Position(std::string_view name) const override { return name == "scrXGain" ? xGain_ : 50; }
  void Move(std::string_view name, int position) override {
    if (name == "scrXGain")
      xGain_ = position;
  }
  void NextMode() override {}

 private:
  int xGain_ = 25;
};

void BM_AnalysisAndModulationInRealTime(benchmark::State& state) {
  constexpr auto kRun = std::chrono::seconds(10);
  modulation::Matrix matrix = *modulation::ReadMatrix(nlohmann::json::parse(R"({
        "lfos": [{"shape": "sine", "hz": 0.5}, {"shape": "square", "beats": 1}],
        "rows": [{"source": "onset", "target": "x_gain", "depth": 50},
                 {"source": "lfo1", "target": "y_gain", "depth": 10},
                 {"source": "lfo2", "target": "x_rotation", "depth": 10},
                 {"source": "band_low", "target": "y_freq", "depth": 20, "release_ms": 200},
                 {"source": "band_mid", "target": "z_freq", "depth": 20, "attack_ms": 10},
                 {"source": "band_high", "target": "r_freq", "depth": 100},
                 {"source": "band3", "target": "g_freq", "depth": 100},
                 {"source": "beat", "action": "next_mode"}]})"),
                                                      modulation::Matrix{})
                                   .matrix;
  for (auto _ : state) {
    auto clicks = std::make_unique<PacedClicks>();
    PacedClicks* source = clicks.get();
    Bars bars;
    modulation::Modulator modulator;
    modulator.SetMatrix(matrix, bars);
    std::vector<Clock::time_point> carried;  // frames whose X Gain rose with an onset
    std::vector<PacedClicks::Click> clickTimes;
    double soundCardCpu = 0.0;
    const double cpuStart = ProcessCpuSeconds();
    const Clock::time_point start = Clock::now();
    {
      analysis::MusicInput input(std::move(clicks));
      std::uint64_t onsets = 0;
      for (int frame = 0; Clock::now() - start < kRun; ++frame) {
        std::this_thread::sleep_until(
            start + std::chrono::microseconds(static_cast<std::int64_t>(frame * kFrame_s * 1e6)));
        const analysis::MusicValues music = input.Latest();
        modulation::MusicSources sources;
        sources.Low = music.Low;
        sources.Mid = music.Mid;
        sources.High = music.High;
        std::copy(music.Bands.begin(), music.Bands.end(), sources.Bands.begin());
        sources.Onsets = music.Onsets;
        sources.Beats = music.Beats;
        sources.Bpm = music.Bpm;
        modulator.BeforeFrame(frame * kFrame_s, sources, bars);
        if (music.Onsets != onsets && bars.Position("scrXGain") > 25)
          carried.push_back(Clock::now());
        onsets = music.Onsets;
      }
      clickTimes = source->Clicks();  // the source goes with the input
      input.RequestStop();
      while (!input.Closed())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      soundCardCpu = source->CpuSeconds();
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    // The analysis thread and the frames; the thread that plays the sound
    // card's part is left out.
    state.counters["cpu_percent_of_one_core"] =
        100.0 * (ProcessCpuSeconds() - cpuStart - soundCardCpu) / wall;

    // Each click to the first frame that carried an onset after it: from the
    // moment it sounded, and from the moment the input handed its hop over.
    std::vector<double> fromSound_ms;
    std::vector<double> fromHandover_ms;
    for (const PacedClicks::Click& click : clickTimes) {
      const auto it = std::lower_bound(carried.begin(), carried.end(), click.HandedOver);
      if (it == carried.end() || *it - click.Captured > std::chrono::milliseconds(200))
        continue;
      fromSound_ms.push_back(
          std::chrono::duration<double, std::milli>(*it - click.Captured).count());
      fromHandover_ms.push_back(
          std::chrono::duration<double, std::milli>(*it - click.HandedOver).count());
    }
    if (fromSound_ms.empty()) {
      state.SkipWithError("no click reached a frame");
      return;
    }
    const auto mean = [](const std::vector<double>& v) {
      double sum = 0.0;
      for (double x : v)
        sum += x;
      return sum / static_cast<double>(v.size());
    };
    state.counters["clicks"] = static_cast<double>(clickTimes.size());
    state.counters["clicks_carried"] = static_cast<double>(fromSound_ms.size());
    state.counters["sound_to_frame_mean_ms"] = mean(fromSound_ms);
    state.counters["sound_to_frame_max_ms"] =
        *std::max_element(fromSound_ms.begin(), fromSound_ms.end());
    state.counters["handover_to_frame_mean_ms"] = mean(fromHandover_ms);
    state.counters["handover_to_frame_max_ms"] =
        *std::max_element(fromHandover_ms.begin(), fromHandover_ms.end());
  }
}
BENCHMARK(BM_AnalysisAndModulationInRealTime)->Iterations(1)->Unit(benchmark::kSecond);

// The analysis alone, as fast as it goes: the share of one core that one hop
// of 512 samples at 48 kHz takes.
void BM_AnalysisHop(benchmark::State& state) {
  analysis::MusicAnalyser analyser(kRate);
  std::mt19937 noise(5);
  std::uniform_real_distribution<float> uniform(-0.5F, 0.5F);
  std::vector<float> audio(kRate * 2);
  for (float& sample : audio)
    sample = uniform(noise);
  std::vector<analysis::MusicEvent> events;
  events.reserve(16);
  std::size_t at = 0;
  for (auto _ : state) {
    events.clear();
    analyser.ProcessHop(audio.data() + at, events);
    at = (at + analysis::kHopSamples) % (audio.size() - analysis::kHopSamples);
  }
  // The time a hop takes over the time it lasts, in percent.
  state.counters["percent_of_one_core"] = benchmark::Counter(
      static_cast<double>(analysis::kHopSamples) / kRate / 100.0,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_AnalysisHop);

}  // namespace
