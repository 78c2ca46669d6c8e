#include "output/projector_profile.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace whorlgen::output {

namespace {
constexpr double kCentreCode = 2047.5;  // the middle of 0..4095
constexpr double kFieldCodes = 4096.0;

std::int16_t ToCode(double code) {
  return static_cast<std::int16_t>(std::clamp(std::lrint(code), 0L, 4095L));
}

bool Lit(const engine::LaserPoint& p) {
  return p.R != 0 || p.G != 0 || p.B != 0;
}
}  // namespace

ProjectorProfile NeutralProfile() {
  ProjectorProfile profile;
  profile.Guard.Enabled = false;
  return profile;
}

ProjectorProfile SafeProfile() {
  return ProjectorProfile{};
}

ProjectorProfile DefaultProfileFor(const std::string& dacName) {
  const bool libraryDac = dacName == "SoundCard" || dacName == "EZLase" || dacName == "RIYA";
  return libraryDac ? NeutralProfile() : SafeProfile();
}

bool IsNeutral(const ProjectorProfile& p) {
  // The scanner only describes the projector; it changes nothing sent.
  return p.SizeXPercent == 100.0 && p.SizeYPercent == 100.0 && p.OffsetXPercent == 0.0 &&
         p.OffsetYPercent == 0.0 && !p.FlipX && !p.FlipY && p.ColourShiftPoints <= 0 &&
         !p.Guard.Enabled;
}

std::size_t BeamGuard::Apply(std::span<engine::LaserPoint> frame, std::int32_t pointsPerSec) {
  if (pointsPerSec <= 0)
    return 0;
  const double radius = settings_.RadiusFraction * kFieldCodes;
  const double pointSec = 1.0 / pointsPerSec;
  // A hair over the limit, so that exactly the limit's worth of points at an
  // even rate (750 at 15000 for 50 ms) is allowed whatever the rounding.
  const double limitSec = settings_.DwellLimitMs / 1000.0 * (1.0 + 1e-9);
  std::size_t blanked = 0;
  for (engine::LaserPoint& p : frame) {
    const double dx = p.X - anchorX_, dy = p.Y - anchorY_;
    if (!haveAnchor_ || dx * dx + dy * dy > radius * radius) {
      haveAnchor_ = true;
      anchorX_ = p.X;
      anchorY_ = p.Y;
      litSec_ = 0;
      blanking_ = false;
    }
    if (!Lit(p))
      continue;
    litSec_ += pointSec;
    if (litSec_ > limitSec) {
      p.R = p.G = p.B = p.I = 0;
      blanking_ = true;
      ++blanked;
    }
  }
  return blanked;
}

void ProfileTransform::Apply(const engine::FrameData& in, engine::FrameData& out) {
  out.FrameBytes = in.FrameBytes;
  out.PointPeriod = in.PointPeriod;
  out.FrameBuffer.resize(in.FrameBuffer.size());
  const double sx = profile_.SizeXPercent / 100.0 * (profile_.FlipX ? -1.0 : 1.0);
  const double sy = profile_.SizeYPercent / 100.0 * (profile_.FlipY ? -1.0 : 1.0);
  const double ox = kCentreCode + profile_.OffsetXPercent / 100.0 * kFieldCodes;
  const double oy = kCentreCode + profile_.OffsetYPercent / 100.0 * kFieldCodes;
  const auto shift = static_cast<std::size_t>(std::max(profile_.ColourShiftPoints, 0));
  if (colourDelay_.size() != shift)
    colourDelay_.assign(shift, engine::LaserPoint{0, 0, 0, 0, 0, 0});  // a run starts dark
  std::size_t oldest = 0;
  for (std::size_t i = 0; i < in.FrameBuffer.size(); ++i) {
    const engine::LaserPoint& p = in.FrameBuffer[i];
    engine::LaserPoint q = p;
    q.X = ToCode((p.X - kCentreCode) * sx + ox);
    q.Y = ToCode((p.Y - kCentreCode) * sy + oy);
    if (shift > 0) {
      // Position now, colour from `shift` points ago.
      engine::LaserPoint& delayed = colourDelay_[oldest];
      q.R = delayed.R;
      q.G = delayed.G;
      q.B = delayed.B;
      q.I = delayed.I;
      delayed = p;
      oldest = (oldest + 1) % shift;
    }
    out.FrameBuffer[i] = q;
  }
  std::rotate(colourDelay_.begin(), colourDelay_.begin() + static_cast<std::ptrdiff_t>(oldest),
              colourDelay_.end());
}

ProfiledDacDriver::ProfiledDacDriver(std::unique_ptr<DacDriver> inner,
                                     const ProjectorProfile& profile, SentFrameView* view)
    : inner_(std::move(inner)),
      neutral_(IsNeutral(profile)),
      transform_(profile),
      guard_(profile.Guard),
      guardEnabled_(profile.Guard.Enabled),
      view_(view) {}

DacFailure ProfiledDacDriver::OpenDac(engine::GeneratorState& generator) {
  return inner_->OpenDac(generator);
}

DacFailure ProfiledDacDriver::SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) {
  const engine::FrameData* out = &frame;
  if (!neutral_) {
    transform_.Apply(frame, sent_);
    if (guardEnabled_)
      guard_.Apply(sent_.FrameBuffer, pointsPerSec);
    out = &sent_;
  }
  DacFailure failure = inner_->SendFrame(*out, pointsPerSec);
  if (view_ != nullptr && !failure)
    view_->FrameSent(out->FrameBuffer, pointsPerSec);
  return failure;
}

DacFailure ProfiledDacDriver::CloseDac() {
  return inner_->CloseDac();
}

void ProfiledDacDriver::Interrupt() {
  inner_->Interrupt();
}

std::string ProfiledDacDriver::StatusNote() const {
  if (guardEnabled_ && guard_.Blanking())
    return kBeamGuardNote;
  return inner_->StatusNote();
}

}  // namespace whorlgen::output
