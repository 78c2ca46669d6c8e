#pragma once
// The timing of an emulated laser card: it plays one frame (or block) while it
// holds the next, and can take another only when at most one is left to play.
// Time moves on its own, so the card needs no thread: every question asks the
// clock how far output has got.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "devices/dac_api.h"
#include "engine/dac_units.h"

namespace whorlgen::devices {

using Clock = std::chrono::steady_clock;

class PlayoutQueue {
 public:
  // True when the card can take another frame: nothing is waiting behind
  // the one that is playing. Waits up to `maxWait` for that to become true,
  // so that a caller polling in a loop does not spin a whole core.
  bool CanTake(Clock::duration maxWait) {
    Retire(Clock::now());
    if (endTimes_.size() <= 1)
      return true;
    const Clock::time_point readyAt = endTimes_[endTimes_.size() - 2];
    std::this_thread::sleep_until(std::min(readyAt, Clock::now() + maxWait));
    Retire(Clock::now());
    return endTimes_.size() <= 1;
  }

  // Queues `points` to play for `duration` after whatever is queued already.
  // The points are copied, as a card copies a frame into its own memory
  // before the call returns; a frame sent while the card is full still waits
  // its turn rather than being lost.
  void Take(const DacPoint* points, std::size_t count, Clock::duration duration) {
    const Clock::time_point now = Clock::now();
    Retire(now);
    cardMemory_.resize(count);
    if (count > 0)
      std::memcpy(cardMemory_.data(), points, count * sizeof(DacPoint));
    const Clock::time_point start = endTimes_.empty() ? now : endTimes_.back();
    endTimes_.push_back(start + duration);
  }

  // Output stops at once; whatever was queued is forgotten.
  void Clear() {
    endTimes_.clear();
    cardMemory_.clear();
    cardMemory_.shrink_to_fit();
  }

 private:
  void Retire(Clock::time_point now) {
    while (!endTimes_.empty() && endTimes_.front() <= now)
      endTimes_.pop_front();
  }

  std::deque<Clock::time_point> endTimes_;  // when each queued frame finishes playing
  std::vector<DacPoint> cardMemory_;        // the last frame taken
};

using engine::PlayingTime;

// How long a status poll may wait for the card before answering busy. The
// card's answer comes the moment it can take a frame, so a longer wait only
// saves the caller's thread from waking a thousand times a second.
inline constexpr std::chrono::milliseconds kPollWait{1};
inline constexpr std::chrono::milliseconds kStatusPollWait{10};

}  // namespace whorlgen::devices
