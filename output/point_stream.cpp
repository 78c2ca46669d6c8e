#include "output/point_stream.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace whorlgen::output {

using Clock = std::chrono::steady_clock;

namespace {

std::string SecondsText(std::chrono::milliseconds duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(duration.count()) / 1000.0);
  return text;
}

}  // namespace

PointStream::PointStream(std::string deviceName, std::chrono::milliseconds stallLimit)
    : deviceName_(std::move(deviceName)), stallLimit_(stallLimit), lastPull_(Clock::now()) {}

DacFailure PointStream::Push(std::span<const engine::LaserPoint> frame, std::int32_t pointsPerSec) {
  std::unique_lock lock(mutex_);
  if (!WaitUntilTaken(lock))
    return failure_;
  if (frame.empty())
    return std::nullopt;
  waiting_.assign(frame.begin(), frame.end());
  waitingRate_ = pointsPerSec;
  hasWaiting_ = true;
  started_ = true;
  changed_.notify_all();
  // Back only once the device has begun on this frame: the next one is then
  // built from the freshest parameters, about one frame before it plays.
  if (!WaitUntilTaken(lock))
    return failure_;
  return std::nullopt;
}

bool PointStream::WaitUntilTaken(std::unique_lock<std::mutex>& lock) {
  const auto waitStart = Clock::now();
  while (hasWaiting_ && !failure_) {
    changed_.wait_for(lock, std::chrono::milliseconds(50));
    // Progress is a point taken by the device; a long wait for a slow frame
    // to play out is fine as long as points keep leaving.
    const auto since = std::max(waitStart, lastPull_);
    if (hasWaiting_ && !failure_ && Clock::now() - since > stallLimit_) {
      failure_ = deviceName_ + " took no points for " + SecondsText(stallLimit_) +
                 ": the device stopped playing";
    }
  }
  return !failure_;
}

void PointStream::Close(std::size_t leadOutPoints) {
  std::lock_guard lock(mutex_);
  if (!closed_)
    leadOutLeft_ = leadOutPoints;
  closed_ = true;
  started_ = true;
  changed_.notify_all();
}

bool PointStream::WaitDrained(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [this] {
    return failure_.has_value() || (closed_ && ReadyLocked() == 0);
  }) && !failure_;
}

bool PointStream::Started() const {
  std::lock_guard lock(mutex_);
  return started_;
}

std::size_t PointStream::ReadyLocked() const {
  std::size_t ready = playing_.size() - playingNext_;
  if (hasWaiting_)
    ready += waiting_.size();
  if (closed_)
    ready += leadOutLeft_;
  return ready;
}

std::size_t PointStream::ReadyPoints() const {
  std::lock_guard lock(mutex_);
  return ReadyLocked();
}

bool PointStream::Finished() const {
  std::lock_guard lock(mutex_);
  return closed_ && ReadyLocked() == 0;
}

void PointStream::TakeWaitingFrame() {
  std::swap(playing_, waiting_);
  playingNext_ = 0;
  playingRate_ = waitingRate_;
  hasWaiting_ = false;
  changed_.notify_all();  // the slot is free for the next Push
}

StreamPoint PointStream::NextFramePoint() {
  StreamPoint point;
  point.Point = playing_[playingNext_];
  point.PointsPerSec = playingRate_;
  point.FrameStart = playingNext_ == 0;
  // The stream's very first point needs no flag: the device starts at its rate.
  point.RateChange = point.FrameStart && lastRate_ != 0 && playingRate_ != lastRate_;
  ++playingNext_;
  lastRate_ = playingRate_;
  lastPoint_ = point.Point;
  return point;
}

StreamPoint PointStream::BlankPoint(std::int32_t pointsPerSec) const {
  StreamPoint point;
  point.Point = engine::LaserPoint{lastPoint_.X, lastPoint_.Y, 0, 0, 0, 0};
  point.PointsPerSec = pointsPerSec;
  return point;
}

std::size_t PointStream::Pull(std::span<StreamPoint> out, std::size_t minimum) {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  while (count < out.size()) {
    if (playingNext_ < playing_.size()) {
      out[count++] = NextFramePoint();
    } else if (hasWaiting_) {
      TakeWaitingFrame();
    } else if (closed_ && leadOutLeft_ > 0) {
      out[count++] = BlankPoint(lastRate_);
      --leadOutLeft_;
    } else {
      break;
    }
  }
  // A gap between frames: dark, where the beam already is.
  if (!closed_) {
    const std::size_t padTo = std::min(minimum, out.size());
    while (count < padTo)
      out[count++] = BlankPoint(lastRate_);
  }
  if (count > 0)
    lastPull_ = Clock::now();
  if (closed_ && ReadyLocked() == 0)
    changed_.notify_all();
  return count;
}

void PointStream::Fail(const std::string& reason) {
  std::lock_guard lock(mutex_);
  if (!failure_)
    failure_ = reason;
  changed_.notify_all();
}

DacFailure PointStream::Failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

std::int32_t PointStream::CurrentPointsPerSec() const {
  std::lock_guard lock(mutex_);
  return lastRate_;
}

}  // namespace whorlgen::output
