#pragma once
// The feeder between the run and a streaming DAC. The run hands over whole
// frames (Push, from SendFrame on the run's device thread); a back-end's I/O
// thread pulls points as the device has room for them (Pull). Between the two
// sits at most one waiting frame, and Push returns once the device begins on
// it, so a frame reaches the device at most about one frame after it was
// built, beyond whatever the device itself buffers.
//
// Whenever the I/O side needs points and no frame is ready (a modal box is
// open, the window is dragged, the run is ending) it gets blanked points at
// the beam's last position: the device never starves and never holds a lit
// beam still. No sockets or USB in here; the back-end owns the transport.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/frame_generator.h"
#include "output/dac_driver.h"
#include "output/device_library.h"

namespace whorlgen::lasers {

struct StreamPoint {
  engine::LaserPoint Point;
  std::int32_t PointsPerSec = 0;  // the rate this point plays at
  // The first point of a frame whose rate differs from the point before it:
  // the device must switch to PointsPerSec exactly here.
  bool RateChange = false;
  bool FrameStart = false;  // the first point of a frame (not of a blanked gap)
};

class PointStream {
 public:
  // `deviceName` names the device in failure messages; `progressWindow` is
  // how long it may take no point at all.
  explicit PointStream(std::string deviceName,
                       std::chrono::milliseconds progressWindow = std::chrono::milliseconds(2000));

  // ---- Run side (the run's device thread) ----
  // Hands a frame over (copied) and returns once the I/O side has begun to
  // take it, so the frame after it waits at most while this one plays.
  // Returns the failure the I/O side reported, or the run side's own verdict
  // on a device that does not keep up. Returns at once after Interrupt.
  output::DacFailure Push(std::span<const engine::LaserPoint> frame, std::int32_t pointsPerSec);
  // End of the run: the frames handed over still go out, then
  // `leadOutPoints` blanked points, then Pull returns nothing more.
  void Close(std::size_t leadOutPoints);

  // ---- any thread ----
  // The run is ending now: the frames not yet pulled are dropped (Pull then
  // gives only dark points at the beam's last position, and the lead-out
  // once closed), Push returns at once and the I/O side's sleeps end.
  void Interrupt();
  bool Interrupted() const;

  // ---- I/O side ----
  // True once the first frame has been handed over (or the stream closed):
  // before that there is no rate to start the device with.
  bool Started() const;
  // Fills `out` with as many frame points as are ready, up to out.size();
  // when fewer than `minimum` are ready, pads with blanked points at the
  // beam's last position up to `minimum`. After Close, the lead-out follows
  // the frames and then 0 is returned for good.
  std::size_t Pull(std::span<StreamPoint> out, std::size_t minimum);
  // Frame points (and lead-out) ready to pull without padding.
  std::size_t ReadyPoints() const;
  // True when Close was called and everything, lead-out included, was pulled.
  bool Finished() const;
  // The I/O side gives up: the message goes to the next (or waiting) Push.
  // Only the first message is kept.
  void Fail(const std::string& reason);
  output::DacFailure Failure() const;
  // The point rate of the last point pulled (0 before any).
  std::int32_t CurrentPointsPerSec() const;
  // The first point of the next frame (they are counted in order) went out
  // to the device and plays at `startsAt`.
  void FrameStartPlaysAt(std::chrono::steady_clock::time_point startsAt);
  // Any thread: the frames that went out so far and when the last one plays.
  output::FramePlayTime LastFramePlayTime() const;
  // Sleeps up to `limit`, less once the stream failed or was interrupted.
  // True once interrupted.
  bool Sleep(std::chrono::microseconds limit);
  // The same, and less again as soon as points are ready to pull.
  bool AwaitPoints(std::chrono::microseconds limit);

  const std::string& DeviceName() const { return deviceName_; }

 private:
  // A look at the progress, one every 100 ms, kept over the last window.
  struct ProgressMark {
    std::chrono::steady_clock::time_point At;
    std::uint64_t Pulled = 0;
    double Due = 0.0;
  };

  std::size_t ReadyLocked() const;
  bool WaitUntilTaken(std::unique_lock<std::mutex>& lock);
  void JudgeProgress(std::chrono::steady_clock::time_point now);
  void TakeWaitingFrame();
  StreamPoint NextFramePoint();
  StreamPoint BlankPoint(std::int32_t pointsPerSec) const;

  const std::string deviceName_;
  const std::chrono::milliseconds progressWindow_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<engine::LaserPoint> playing_;  // the frame being pulled
  std::size_t playingNext_ = 0;              // its next point
  std::int32_t playingRate_ = 0;
  std::vector<engine::LaserPoint> waiting_;  // the one frame waiting its turn
  std::int32_t waitingRate_ = 0;
  bool hasWaiting_ = false;
  bool started_ = false;
  bool closed_ = false;
  bool interrupted_ = false;
  std::size_t leadOutLeft_ = 0;
  std::int32_t lastRate_ = 0;
  engine::LaserPoint lastPoint_{2048, 2048, 0, 0, 0, 0};
  std::optional<std::string> failure_;
  output::FramePlayTime framePlayTime_;

  // Progress, judged on the run side while it waits.
  std::uint64_t pulled_ = 0;  // points handed to the I/O side, padding included
  double due_ = 0.0;          // points the rate asked for since the first frame
  std::chrono::steady_clock::time_point judgedAt_{};
  std::chrono::steady_clock::time_point judgingSince_{};
  std::chrono::steady_clock::time_point lastPullAt_{};
  std::deque<ProgressMark> marks_;
};

// A device fed point by point: SendFrame hands each frame to the stream,
// and the back-end's I/O thread pulls points from it as the device has room.
// A failure is told once, by whichever call meets it first.
class PointStreamDevice : public output::DacDriver {
 public:
  // Returns once the I/O side has begun on the frame; nothing while the
  // device is not streaming (its open failed, and said so).
  output::DacFailure SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) final;
  // When the frame sent last begins to play, as far as the device tells.
  std::optional<output::FramePlayTime> LastFramePlayTime() const override {
    return stream_.LastFramePlayTime();
  }

 protected:
  explicit PointStreamDevice(std::string deviceName, std::chrono::milliseconds progressWindow =
                                                         std::chrono::milliseconds(2000))
      : stream_(std::move(deviceName), progressWindow) {}

  PointStream& Stream() { return stream_; }
  const PointStream& Stream() const { return stream_; }
  // Between the start of the I/O thread and the end of the close.
  void SetStreaming(bool streaming) { streaming_ = streaming; }
  bool Streaming() const { return streaming_; }
  // `failure` unless a failure was told already; then nothing.
  output::DacFailure TellOnce(output::DacFailure failure);

 private:
  PointStream stream_;
  bool streaming_ = false;  // the device thread's own
  bool told_ = false;
};

}  // namespace whorlgen::lasers
