#include "projection/frame_player.h"

#include <algorithm>
#include <cmath>

namespace whorlgen::projection {

void FramePlayer::Reset(double nowSec, const BeamImage& image) {
  pending_.clear();
  frames_.clear();
  played_ = 0;
  beamAheadSec_ = image.Time() - nowSec;
}

void FramePlayer::Receive(std::span<const engine::LaserPoint> frame, std::int32_t pointsPerSec,
                          double nowSec, const BeamImage& image) {
  if (pointsPerSec <= 0 || frame.empty() || pending_.size() > kMaxPendingPoints)
    return;
  // After a pause (the first frame, a device that kept the run waiting) the
  // new frame starts playing now rather than catching up.
  if (played_ == pending_.size() && image.Time() < nowSec + beamAheadSec_)
    beamAheadSec_ = image.Time() - nowSec;
  pending_.insert(pending_.end(), frame.begin(), frame.end());
  frames_.push_back({pending_.size(), pointsPerSec});
}

double FramePlayer::BacklogSec() const {
  double backlogSec = 0;
  std::size_t begin = 0;
  for (const Pending& frame : frames_) {
    if (frame.End > played_)
      backlogSec += static_cast<double>(frame.End - std::max(begin, played_)) / frame.PointsPerSec;
    begin = frame.End;
  }
  return backlogSec;
}

bool FramePlayer::PlayDue(double nowSec, bool all, ProjectionSimulator& simulator,
                          BeamImage& image) {
  const bool catchUp = all || BacklogSec() > kMaxBacklogSec;
  bool playedAny = false;
  for (const Pending& frame : frames_) {
    if (frame.End <= played_)
      continue;
    std::size_t count = frame.End - played_;
    if (!catchUp) {
      const double dueSec = nowSec + beamAheadSec_ - image.Time();
      if (dueSec <= 0)
        break;
      count = std::min(count, static_cast<std::size_t>(std::ceil(dueSec * frame.PointsPerSec)));
    }
    simulator.PlayFrame(std::span(pending_.data() + played_, count), frame.PointsPerSec, image);
    played_ += count;
    playedAny = true;
    if (played_ < frame.End)
      break;  // the rest of this frame is not due yet
  }
  if (catchUp)
    beamAheadSec_ = image.Time() - nowSec;
  if (played_ == pending_.size()) {
    // All played: the clock is kept, so the picture fades from the last point.
    pending_.clear();
    frames_.clear();
    played_ = 0;
  }
  return playedAny;
}

double FramePlayer::IdleSec(double nowSec, const BeamImage& image) const {
  return pending_.empty() ? std::max(0.0, nowSec + beamAheadSec_ - image.Time()) : 0.0;
}

}  // namespace whorlgen::projection
