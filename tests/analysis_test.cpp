// The music's analysis through the same path as real input: a feeder in
// place of JACK or ALSA writes made-up audio into the input's ring (faster
// than real time, time counted in samples), and the values come out where
// the panel reads them. One test goes through a JACK server on its dummy driver.
#include <gtest/gtest.h>
#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "analysis/music_input.h"
#include "tests/jack_server.h"

namespace whorlgen::analysis {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kRate = 48000;

// Sample n of the signal, at kRate.
using Signal = std::function<float(std::uint64_t n)>;

// Writes `seconds` of the signal as fast as the analysis takes it.
class Feeder final : public AudioSource {
 public:
  Feeder(Signal signal, double seconds)
      : signal_(std::move(signal)), total_(static_cast<std::uint64_t>(seconds * kRate)) {}
  ~Feeder() override { Stop(); }
  std::string Open() override { return {}; }
  void Start(SampleRing& ring) override {
    thread_ = std::thread([this, &ring] {
      std::vector<float> chunk(kHopSamples);
      for (std::uint64_t n = 0; n < total_ && !stop_;) {
        if (ring.Writable() < chunk.size()) {
          std::this_thread::sleep_for(1ms);
          continue;
        }
        for (float& sample : chunk)
          sample = signal_(n++);
        ring.Write(chunk.data(), chunk.size());
      }
      done_ = true;
    });
  }
  void Stop() override {
    stop_ = true;
    if (thread_.joinable())
      thread_.join();
  }
  std::uint32_t SampleRate() const override { return kRate; }
  std::string Description() const override { return "test feeder"; }
  bool Done() const { return done_; }

 private:
  Signal signal_;
  std::uint64_t total_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Feeds the signal through a MusicInput and waits until all of it is analysed.
struct Analysed {
  std::vector<MusicEvent> events;
  MusicValues last;
};

Analysed Analyse(Signal signal, double seconds,
                 const std::function<void(const MusicValues&)>& during = {}) {
  Analysed run;
  std::mutex mutex;
  auto feeder = std::make_unique<Feeder>(std::move(signal), seconds);
  MusicInput input(std::move(feeder), [&](const MusicEvent& event) {
    const std::lock_guard lock(mutex);
    run.events.push_back(event);
  });
  const auto wanted = static_cast<std::uint64_t>(seconds * kRate) / kHopSamples * kHopSamples;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (input.Latest().Samples < wanted && std::chrono::steady_clock::now() < deadline) {
    if (during)
      during(input.Latest());
    std::this_thread::sleep_for(1ms);
  }
  run.last = input.Latest();
  EXPECT_EQ(input.CurrentStatus().What, MusicInput::State::Listening);
  EXPECT_EQ(input.CurrentStatus().Dropped, 0U);
  return run;
}

// A click every half second (120 BPM): a 20 ms burst of noise, as a
// metronome's tick, over a hiss 60 dB down, as any recording has.
float ClickTrack(std::uint64_t n) {
  static thread_local std::mt19937 noise(7);
  std::uniform_real_distribution<float> uniform(-1.0F, 1.0F);
  const std::uint64_t intoBeat = n % (kRate / 2);
  float sample = 0.001F * uniform(noise);
  if (intoBeat < kRate / 50)
    sample += 0.8F * uniform(noise) * std::exp(-static_cast<float>(intoBeat) / 240.0F);
  return sample;
}

TEST(MusicAnalysis, ClickTrackAt120BpmGivesItsTempoAndBeatsOnTheClicks) {
  const Analysed run = Analyse(ClickTrack, 5.0);  // all within 5 s
  std::vector<double> beats_s;
  for (const MusicEvent& event : run.events)
    if (event.What == MusicEvent::Kind::Beat)
      beats_s.push_back(static_cast<double>(event.Sample) / kRate);
  ASSERT_GE(beats_s.size(), 3U);
  for (double beat : beats_s) {
    const double nearestClick = std::round(beat * 2.0) / 2.0;  // a click every 0.5 s
    EXPECT_NEAR(beat, nearestClick, 0.020) << "beat at " << beat << " s";
  }
  EXPECT_NEAR(run.last.Bpm, 120.0, 1.0);
  EXPECT_GE(run.last.Onsets, 9U);  // 10 clicks in 5 s
}

TEST(MusicAnalysis, SineBurstAt60HzRaisesTheLowBandAndNotTheHigh) {
  // Silence for a second, then a full-scale 60 Hz sine.
  MusicValues inSilence;
  const Analysed run = Analyse(
      [](std::uint64_t n) {
        return n < kRate ? 0.0F
                         : static_cast<float>(std::sin(2.0 * std::numbers::pi * 60.0 * n / kRate));
      },
      2.0,
      [&](const MusicValues& v) {
        if (v.Samples > kRate / 2 && v.Samples < kRate)
          inSilence = v;
      });
  EXPECT_EQ(inSilence.Low, 0.0F);
  EXPECT_EQ(inSilence.Beats, 0U);
  EXPECT_GT(run.last.Low, 0.95F);  // a full-scale sine is 1
  EXPECT_EQ(run.last.High, 0.0F);
  EXPECT_EQ(run.last.Mid, 0.0F);
  // 60 Hz lies in the second of the eight bands (47 to 112 Hz).
  EXPECT_GT(run.last.Bands[1], 0.9F);
  EXPECT_EQ(run.last.Bands[5], 0.0F);
}

TEST(MusicAnalysis, LevelsFollowTheDecibelsOfTheInput) {
  // 1 kHz at a tenth of full scale is 20 dB down: a third of the way from the
  // top of the 60 dB meter.
  const Analysed run = Analyse(
      [](std::uint64_t n) {
        return static_cast<float>(0.1 * std::sin(2.0 * std::numbers::pi * 1000.0 * n / kRate));
      },
      0.5);
  EXPECT_NEAR(run.last.Mid, 1.0 - 20.0 / 60.0, 0.01);
  EXPECT_EQ(run.last.Low, 0.0F);
}

TEST(MusicAnalysis, AnInputThatCannotBeOpenedIsSilentNotAnError) {
  MusicInput input(MakeAlsaSource("whorlgen-no-such-device"));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!input.Closed() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  const MusicInput::Status status = input.CurrentStatus();
  EXPECT_EQ(status.What, MusicInput::State::Silent);
  EXPECT_NE(status.Text.find("whorlgen-no-such-device"), std::string::npos) << status.Text;
  EXPECT_EQ(input.Latest().Low, 0.0F);
}

TEST(SampleRing, WhatDoesNotFitIsDroppedAndCountedAndTheRestWrapsInOrder) {
  SampleRing ring(8);
  std::vector<float> in(12);
  for (std::size_t i = 0; i < in.size(); ++i)
    in[i] = static_cast<float>(i);
  EXPECT_EQ(ring.Write(in.data(), 6), 6U);
  std::vector<float> out(8);
  EXPECT_EQ(ring.Read(out.data(), 4), 4U);      // 0..3
  EXPECT_EQ(ring.Write(in.data() + 6, 6), 6U);  // across the end
  EXPECT_EQ(ring.Write(in.data(), 3), 0U);      // full
  EXPECT_EQ(ring.Dropped(), 3U);
  ASSERT_EQ(ring.Read(out.data(), 8), 8U);
  for (std::size_t i = 0; i < 8; ++i)
    EXPECT_EQ(out[i], static_cast<float>(i + 4));
}

// Plays a click track into whorlgen:in from a client of the test's own.
class ClickPlayer {
 public:
  ClickPlayer() {
    client_ = jack_client_open("whorlgen-test-clicks", JackNoStartServer, nullptr);
    if (client_ == nullptr)
      return;
    port_ = jack_port_register(client_, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(client_, &ClickPlayer::Process, this);
    jack_activate(client_);
  }
  ~ClickPlayer() {
    if (client_ != nullptr)
      jack_client_close(client_);
  }
  bool Connect(const char* to) {
    return client_ != nullptr && jack_connect(client_, jack_port_name(port_), to) == 0;
  }

 private:
  static int Process(jack_nframes_t frames, void* self) {
    auto* player = static_cast<ClickPlayer*>(self);
    auto* out = static_cast<float*>(jack_port_get_buffer(player->port_, frames));
    for (jack_nframes_t i = 0; i < frames; ++i)
      out[i] = ClickTrack(player->n_++);
    return 0;
  }
  jack_client_t* client_ = nullptr;
  jack_port_t* port_ = nullptr;
  std::uint64_t n_ = 0;
};

TEST(MusicAnalysis, JackInputPortWhorlgenInHearsTheClicks) {
  testing::DummyJackServer server;
  const std::string problem = server.Start(kRate, 256);
  if (!problem.empty())
    GTEST_SKIP() << problem;
  MusicInput input(MakeAudioSource("auto"));  // a server runs: JACK, not ALSA
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (input.CurrentStatus().What == MusicInput::State::Opening &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(input.CurrentStatus().Text, "JACK port whorlgen:in at 48000 Hz");
  ClickPlayer player;
  ASSERT_TRUE(player.Connect("whorlgen:in"));
  // Real time here: two seconds hold four clicks.
  while (input.Latest().Onsets < 3 && std::chrono::steady_clock::now() < deadline + 5s)
    std::this_thread::sleep_for(10ms);
  EXPECT_GE(input.Latest().Onsets, 3U);
}

}  // namespace
}  // namespace whorlgen::analysis
