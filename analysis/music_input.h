#pragma once
// Audio input and its analysis, off the panel's thread. Made, it opens its
// source on a thread of its own and analyses what arrives there, hop by hop;
// the panel reads the latest values without waiting. A source that cannot be
// opened leaves the input silent (every level 0), which is a valid input, not
// an error: the status says why.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "analysis/audio_source.h"
#include "analysis/music_values.h"
#include "analysis/published.h"

namespace whorlgen::analysis {

class MusicInput {
 public:
  enum class State { Opening, Listening, Silent };
  struct Status {
    State What = State::Opening;
    std::string Text;           // the source, or why the input is silent
    std::uint64_t Dropped = 0;  // samples the analysis had no room for
  };
  // Called on the analysis thread for each onset and beat, in order.
  using EventObserver = std::function<void(const MusicEvent&)>;

  // About 1.4 s at 48 kHz between the source and the analysis.
  static constexpr std::size_t kRingSamples = std::size_t{1} << 16;

  explicit MusicInput(std::unique_ptr<AudioSource> source, EventObserver observer = {});
  // Stops and closes the source; waits for its thread.
  ~MusicInput();
  MusicInput(const MusicInput&) = delete;
  MusicInput& operator=(const MusicInput&) = delete;

  // Asks the input to close without waiting; Closed() tells when it has.
  void RequestStop();
  bool Closed() const { return closed_.load(std::memory_order_acquire); }

  MusicValues Latest() const { return latest_.Read(); }
  Status CurrentStatus() const;

 private:
  void Run();
  void AnalyseUntilStopped(SampleRing& ring);
  void SetStatus(State what, std::string text);

  std::unique_ptr<AudioSource> source_;
  EventObserver observer_;
  Published<MusicValues> latest_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> closed_{false};
  std::atomic<SampleRing*> ring_{nullptr};
  mutable std::mutex statusMutex_;
  Status status_;
  std::thread thread_;
};

}  // namespace whorlgen::analysis
