#pragma once
// Plays the frames a DAC was sent in real time: each frame starts when it
// arrives (or when the one before has played out), and each redraw plays the
// points whose time has come. The clock is the caller's, in seconds.

#include <cstdint>
#include <span>
#include <vector>

#include "engine/frame_generator.h"
#include "projection/beam_image.h"
#include "projection/projection_simulator.h"

namespace whorlgen::projection {

class FramePlayer {
 public:
  // Beam time waiting beyond this is played at once: frames come faster than
  // they play (no device pacing the run).
  static constexpr double kMaxBacklogSec = 0.25;
  // Beyond this many waiting points, new frames are left out.
  static constexpr std::size_t kMaxPendingPoints = 1 << 20;

  // Forgets the frames waiting; the next one starts when it arrives.
  void Reset(double nowSec, const BeamImage& image);
  void Receive(std::span<const engine::LaserPoint> frame, std::int32_t pointsPerSec, double nowSec,
               const BeamImage& image);
  // Plays the points due by nowSec, or every point waiting when `all`.
  // Returns whether it played any.
  bool PlayDue(double nowSec, bool all, ProjectionSimulator& simulator, BeamImage& image);
  // How long the beam has been out of points to play (the picture fades
  // meanwhile); 0 while points wait.
  double IdleSec(double nowSec, const BeamImage& image) const;

 private:
  struct Pending {
    std::size_t End;  // one past its last point in pending_
    std::int32_t PointsPerSec;
  };
  double BacklogSec() const;

  std::vector<engine::LaserPoint> pending_;
  std::vector<Pending> frames_;
  std::size_t played_ = 0;  // points of pending_ already played
  // Beam time minus clock time: the beam time due at t is t + this.
  double beamAheadSec_ = 0;
};

}  // namespace whorlgen::projection
