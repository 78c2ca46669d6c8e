#pragma once
// One show on several projectors. The run's driver hands every frame of the
// figure to each output (the panel's DAC first, then the further outputs),
// each through its own projector profile and on a thread of its own, so a
// slow or lost device never holds the others:
//
//   SendFrame  queues the frame for every output that plays and returns once
//              one of them has begun it (the one that asks for frames
//              soonest sets the pace; the others keep what they have not
//              yet begun in their queue).
//   in step    each streaming output tells when a frame begins to play; the
//              one that plays latest sets the time, and the others get dark
//              points where their beam stands before a frame until they play
//              as late (ShowSync). No lit point is ever repeated or dropped.
//   failure    an output that fails leaves the show, closed dark, and is
//              named with its reason in the status note and on the board;
//              the others go on. Rejoin opens it again on its own thread; it
//              joins at the start of the next frame. Only when every output
//              has left does SendFrame fail, with all their reasons.
//   end        CloseDac lets each output play what it still holds and its
//              dark lead-out.
//
// The ShowBoard is the window's view of the show: each output's state, why
// it left, how well they keep in step, the output the projection view
// shows, and the request to bring an output back. It stays readable after
// the run.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/frame_generator.h"
#include "output/dac_driver.h"
#include "output/projector_profile.h"
#include "output/show_sync.h"

namespace whorlgen::output {

// A show has at most this many outputs besides the panel's own DAC.
inline constexpr std::size_t kMostFurtherOutputs = 8;

struct ShowOutput {
  std::string Name;  // as the Devices window shows it
  // The device's own back-end, made without I/O. Called on the output's own
  // thread when the run opens it, and again each time it rejoins; nullptr
  // for a device that cannot be made.
  std::function<std::unique_ptr<DacDriver>()> MakeDevice;
  ProjectorProfile Profile;
};

struct ShowTiming {
  // Playing time an output may have waiting beyond the frame it is on
  // before its oldest waiting frames are skipped (it cannot keep up).
  double MostQueuedSec = 4.0;
  std::size_t LeastQueuedFrames = 4;
  // When no output can tell its playing time, the show waits for all of
  // them to begin a frame, but at most this much (plus the frame's playing
  // time) once one has.
  std::chrono::milliseconds LaggardPatience{100};
  ShowSyncSettings Sync;
};

enum class ShowOutputState { Opening, Playing, Left, Rejoining, Closed };

struct ShowOutputStatus {
  std::string Name;
  ShowOutputState State = ShowOutputState::Opening;
  std::string Why;   // why it left the show
  std::string Note;  // its device's own word while it plays
  std::uint64_t FramesSkipped = 0;
  double DarkGivenMs = 0.0;  // dark time it was given to keep in step
};

class ShowBoard {
 public:
  std::vector<ShowOutputStatus> Outputs() const;
  // The largest difference between two outputs' playing positions, as the
  // devices report them (0 until two have).
  double SpreadMs() const;
  // Opens an output that left the show again, on its own thread; it joins at
  // the next frame. False unless the show is playing and that output has left.
  bool Rejoin(std::size_t output) const;
  // The output whose frames go to the projection view (0, the panel's DAC,
  // at first). Any thread.
  void SetViewed(std::size_t output) const;
  std::size_t Viewed() const;

  struct Shared;

 private:
  friend class ShowDriver;
  explicit ShowBoard(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  std::shared_ptr<Shared> shared_;
};

class ShowDriver final : public DacDriver {
 public:
  // outputs[0] is the panel's DAC. `view` (optional) is the projection view:
  // it gets the frames of the output the board has viewed.
  ShowDriver(std::vector<ShowOutput> outputs, SentFrameView* view = nullptr,
             ShowTiming timing = {});
  ~ShowDriver() override;

  // Opens every output at once, each on its own thread, and waits for all.
  // The panel's DAC opens with the run's generator, the others with a copy,
  // so only the panel's DAC can move the figure's last point. Fails only
  // when no output opened.
  DacFailure OpenDac(engine::GeneratorState& generator) override;
  DacFailure SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) override;
  DacFailure CloseDac() override;
  // "3 projectors: ..." when an output left, skips frames or has a note of
  // its own; empty while all is well.
  std::string StatusNote() const override;
  void Interrupt() override;

  ShowBoard Board() const { return ShowBoard(shared_); }

  struct Lane;  // one output's state and thread, in the .cpp

 private:
  void LaneMain(std::size_t index);

  std::shared_ptr<ShowBoard::Shared> shared_;
};

}  // namespace whorlgen::output
