#include "analysis/music_input.h"

#include <vector>

#include "analysis/music_analyser.h"

namespace whorlgen::analysis {

MusicInput::MusicInput(std::unique_ptr<AudioSource> source, EventObserver observer)
    : source_(std::move(source)), observer_(std::move(observer)) {
  thread_ = std::thread([this] { Run(); });
}

MusicInput::~MusicInput() {
  RequestStop();
  thread_.join();
}

void MusicInput::RequestStop() {
  stop_.store(true, std::memory_order_release);
  // Wakes the analysis wherever it waits for samples.
  if (SampleRing* ring = ring_.load(std::memory_order_acquire); ring != nullptr)
    ring->Wake();
}

MusicInput::Status MusicInput::CurrentStatus() const {
  const std::lock_guard lock(statusMutex_);
  Status status = status_;
  if (const SampleRing* ring = ring_.load(std::memory_order_acquire); ring != nullptr)
    status.Dropped = ring->Dropped();
  return status;
}

void MusicInput::SetStatus(State what, std::string text) {
  const std::lock_guard lock(statusMutex_);
  status_.What = what;
  status_.Text = std::move(text);
}

void MusicInput::Run() {
  SetStatus(State::Opening, "opening");
  if (std::string problem = source_->Open(); !problem.empty()) {
    SetStatus(State::Silent, problem);
    closed_.store(true, std::memory_order_release);
    return;
  }
  SampleRing ring(kRingSamples);
  ring_.store(&ring, std::memory_order_release);
  SetStatus(State::Listening,
            source_->Description() + " at " + std::to_string(source_->SampleRate()) + " Hz");
  if (!stop_.load(std::memory_order_acquire)) {
    source_->Start(ring);
    AnalyseUntilStopped(ring);
  }
  source_->Stop();
  if (const std::string lost = source_->Lost(); !lost.empty())
    SetStatus(State::Silent, lost);
  {
    // Status readers take the count under this lock; the ring goes after.
    const std::lock_guard lock(statusMutex_);
    status_.Dropped = ring.Dropped();
    ring_.store(nullptr, std::memory_order_release);
  }
  closed_.store(true, std::memory_order_release);
}

void MusicInput::AnalyseUntilStopped(SampleRing& ring) {
  MusicAnalyser analyser(source_->SampleRate());
  latest_.Publish(analyser.Values());
  std::vector<float> hop(kHopSamples);
  std::vector<MusicEvent> events;
  events.reserve(8);
  const auto& signal = ring.WriteSignal();
  while (!stop_.load(std::memory_order_acquire)) {
    const std::uint32_t seen = signal.load(std::memory_order_acquire);
    bool analysed = false;
    while (ring.Readable() >= kHopSamples && !stop_.load(std::memory_order_relaxed)) {
      ring.Read(hop.data(), kHopSamples);
      events.clear();
      analyser.ProcessHop(hop.data(), events);
      latest_.Publish(analyser.Values());
      if (observer_)
        for (const MusicEvent& event : events)
          observer_(event);
      analysed = true;
    }
    if (!source_->Lost().empty()) {
      SetStatus(State::Silent, source_->Lost());
      return;
    }
    // A stop that came before `seen` was read is seen here; one after it
    // changes the signal, so the wait returns.
    if (!analysed && !stop_.load(std::memory_order_acquire))
      signal.wait(seen, std::memory_order_acquire);
  }
}

}  // namespace whorlgen::analysis
