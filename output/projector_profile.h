#pragma once
// What stands between the figure and one projector: its profile (scanner,
// output size and offset, flips, colour shift, beam guard) applied to the
// frames that go to that DAC only. The preview and the recording keep the
// figure itself.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/frame_generator.h"
#include "output/dac_driver.h"

namespace whorlgen::output {

struct BeamGuardSettings {
  bool Enabled = true;
  double RadiusFraction = 0.01;  // of the field's width (4096 codes)
  double DwellLimitMs = 50.0;    // of point time, lit inside the circle
  bool operator==(const BeamGuardSettings&) const = default;
};

struct ProjectorProfile {
  // The scanners, for the projection view and the suggested colour shift.
  double ScannerRatingPps = 30000.0;  // draws the ILDA test pattern at 8 degrees
  double ScanAngleDeg = 30.0;         // optical, peak to peak
  // The output, about the centre: percent of the full field.
  double SizeXPercent = 100.0, SizeYPercent = 100.0;
  double OffsetXPercent = 0.0, OffsetYPercent = 0.0;
  bool FlipX = false, FlipY = false;
  // Colour comes this many points later than position, to meet the lagging
  // mirrors.
  std::int32_t ColourShiftPoints = 0;
  BeamGuardSettings Guard;
  bool operator==(const ProjectorProfile&) const = default;
};

// The three library DACs keep their frames exactly: nothing changed, no guard.
ProjectorProfile NeutralProfile();
// Any other DAC: the guard on.
ProjectorProfile SafeProfile();
// The profile a DAC starts with before the operator edits it.
ProjectorProfile DefaultProfileFor(const std::string& dacName);
// Sends every frame unchanged.
bool IsNeutral(const ProjectorProfile& profile);

// Blanks a beam that stays lit inside a small circle for longer than the
// dwell limit, until it moves out of the circle. Time is point time, so the
// guard acts the same whatever the device's pace.
class BeamGuard {
 public:
  explicit BeamGuard(BeamGuardSettings settings = {}) : settings_(settings) {}
  // Blanks, in place, the points of the frame that come past the limit.
  // Returns how many it blanked.
  std::size_t Apply(std::span<engine::LaserPoint> frame, std::int32_t pointsPerSec);
  // True while the beam has not moved since the guard last blanked it.
  bool Blanking() const { return blanking_; }

 private:
  BeamGuardSettings settings_;
  bool haveAnchor_ = false;
  double anchorX_ = 0, anchorY_ = 0;
  double litSec_ = 0;
  bool blanking_ = false;
};

// Applies the geometry and the colour shift of a profile to a stream of
// frames; the colour shift carries over from one frame to the next.
class ProfileTransform {
 public:
  explicit ProfileTransform(const ProjectorProfile& profile) : profile_(profile) {}
  void Apply(const engine::FrameData& in, engine::FrameData& out);

 private:
  ProjectorProfile profile_;
  std::vector<engine::LaserPoint> colourDelay_;  // the last points' colours, oldest first
};

// The projection view as the driver sees it: each frame as it went to the
// DAC. Called on the run's device thread, so the view takes it over a lock.
class SentFrameView {
 public:
  virtual void FrameSent(std::span<const engine::LaserPoint> frame, std::int32_t pointsPerSec) = 0;

 protected:
  ~SentFrameView() = default;
};

// Wraps the run's driver: the profile's changes to each frame, the beam
// guard, and what was sent for the projection view. A neutral profile hands
// the very frame it was given to the driver.
class ProfiledDacDriver final : public DacDriver {
 public:
  ProfiledDacDriver(std::unique_ptr<DacDriver> inner, const ProjectorProfile& profile,
                    SentFrameView* view = nullptr);

  DacFailure OpenDac(engine::GeneratorState& generator) override;
  DacFailure SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) override;
  DacFailure CloseDac() override;
  void Interrupt() override;
  // The guard's note while it blanks, otherwise the device's own.
  std::string StatusNote() const override;

 private:
  std::unique_ptr<DacDriver> inner_;
  bool neutral_;
  ProfileTransform transform_;
  BeamGuard guard_;
  bool guardEnabled_;
  SentFrameView* view_;
  engine::FrameData sent_;
};

inline constexpr char kBeamGuardNote[] = "beam guard: output blanked";

}  // namespace whorlgen::output
