#include "lasers/point_stream.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace whorlgen::lasers {

using output::DacFailure;

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Progress is looked at this often while the run side waits.
constexpr milliseconds kMarkEvery{100};
// A device that takes less than this share of what the rate asks for, over
// two whole windows, cannot keep up with the run.
constexpr double kLeastShare = 0.5;

std::string SecondsText(milliseconds duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(duration.count()) / 1000.0);
  return text;
}

std::string PointsPerSecondText(double pointsPerSec) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", pointsPerSec < 10 ? 1 : 0, pointsPerSec);
  return text;
}

}  // namespace

PointStream::PointStream(std::string deviceName, milliseconds progressWindow)
    : deviceName_(std::move(deviceName)), progressWindow_(progressWindow) {}

DacFailure PointStream::Push(std::span<const engine::LaserPoint> frame, std::int32_t pointsPerSec) {
  std::unique_lock lock(mutex_);
  if (!WaitUntilTaken(lock))
    return interrupted_ ? std::nullopt : failure_;
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
    return interrupted_ ? std::nullopt : failure_;
  return std::nullopt;
}

bool PointStream::WaitUntilTaken(std::unique_lock<std::mutex>& lock) {
  while (hasWaiting_ && !failure_ && !interrupted_) {
    changed_.wait_for(lock, milliseconds(50));
    if (hasWaiting_ && !failure_ && !interrupted_)
      JudgeProgress(Clock::now());
  }
  return !failure_ && !interrupted_;
}

void PointStream::JudgeProgress(Clock::time_point now) {
  const std::int32_t rate = lastRate_ != 0 ? lastRate_ : waitingRate_;
  // A long gap between two looks means this process itself was not
  // scheduled (a stalled computer, a stopped program): the device cannot be
  // judged over it, so judging starts again.
  const auto gap = now - judgedAt_;
  if (judgedAt_ == Clock::time_point{} ||
      gap > std::max<Clock::duration>(progressWindow_ / 4, milliseconds(200))) {
    marks_.clear();
    judgingSince_ = now;
  } else {
    due_ += std::chrono::duration<double>(gap).count() * rate;
  }
  judgedAt_ = now;
  // Nothing taken for a whole window: the device stopped. Its back-end's own
  // watchdogs share this limit and know the cause better, so this verdict
  // comes a little after theirs.
  const auto grace = std::max<Clock::duration>(progressWindow_ / 10, milliseconds(50));
  if (now - std::max(lastPullAt_, judgingSince_) > progressWindow_ + grace) {
    failure_ = deviceName_ + " took no points for " + SecondsText(progressWindow_) +
               ": the device stopped playing";
    changed_.notify_all();
    return;
  }
  // Too little taken over two windows: it cannot keep up.
  const auto span = 2 * progressWindow_;
  if (marks_.empty() || now - marks_.back().At >= kMarkEvery)
    marks_.push_back({now, pulled_, due_});
  while (marks_.size() >= 2 && now - marks_[1].At >= span)
    marks_.pop_front();
  const ProgressMark& base = marks_.front();
  if (now - base.At < span)
    return;
  const auto taken = static_cast<double>(pulled_ - base.Pulled);
  if (taken >= kLeastShare * (due_ - base.Due))
    return;
  const double span_s = std::chrono::duration<double>(now - base.At).count();
  failure_ = deviceName_ + " took only " + PointsPerSecondText(taken / span_s) +
             " points a second of the run's " + std::to_string(rate) + " over the last " +
             SecondsText(std::chrono::duration_cast<milliseconds>(span)) +
             ": it cannot keep up with the run";
  changed_.notify_all();
}

void PointStream::Close(std::size_t leadOutPoints) {
  std::lock_guard lock(mutex_);
  if (!closed_)
    leadOutLeft_ = leadOutPoints;
  closed_ = true;
  started_ = true;
  changed_.notify_all();
}

void PointStream::Interrupt() {
  std::lock_guard lock(mutex_);
  interrupted_ = true;
  started_ = true;
  // What was built but not yet pulled never plays: the device gets dark
  // points where the beam is, then the lead-out.
  playing_.clear();
  playingNext_ = 0;
  waiting_.clear();
  hasWaiting_ = false;
  changed_.notify_all();
}

bool PointStream::Interrupted() const {
  std::lock_guard lock(mutex_);
  return interrupted_;
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
  pulled_ += count;
  if (count > 0)
    lastPullAt_ = Clock::now();
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

void PointStream::FrameStartPlaysAt(Clock::time_point startsAt) {
  std::lock_guard lock(mutex_);
  ++framePlayTime_.Frames;
  framePlayTime_.StartsAt = startsAt;
}

output::FramePlayTime PointStream::LastFramePlayTime() const {
  std::lock_guard lock(mutex_);
  return framePlayTime_;
}

bool PointStream::Sleep(std::chrono::microseconds limit) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limit, [this] { return interrupted_ || failure_.has_value(); });
  return interrupted_;
}

bool PointStream::AwaitPoints(std::chrono::microseconds limit) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limit,
                    [this] { return interrupted_ || failure_.has_value() || ReadyLocked() > 0; });
  return interrupted_;
}

DacFailure PointStreamDevice::SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) {
  if (!streaming_)
    return std::nullopt;
  return TellOnce(stream_.Push(frame.FrameBuffer, pointsPerSec));
}

DacFailure PointStreamDevice::TellOnce(DacFailure failure) {
  if (!failure || told_)
    return std::nullopt;
  told_ = true;
  return failure;
}

}  // namespace whorlgen::lasers
