#include "output/show_outputs.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

namespace whorlgen::output {

namespace {

using Clock = std::chrono::steady_clock;

// Frames sent and not yet told of kept per output: far more than a device
// holds.
constexpr std::size_t kSentFramesKept = 4096;

double Seconds(Clock::time_point at) {
  return std::chrono::duration<double>(at.time_since_epoch()).count();
}

double PlayingSec(const engine::FrameData& frame, std::int32_t pointsPerSec) {
  return static_cast<double>(frame.FrameBuffer.size()) / std::max(pointsPerSec, 1);
}

// Sits between an output's projector profile and its device: before a frame
// the show asks for, dark points where the beam stands, so the profile's
// colour shift never lights them; otherwise the very frame goes on.
class FillerDriver final : public DacDriver {
 public:
  explicit FillerDriver(std::unique_ptr<DacDriver> device) : device_(std::move(device)) {}

  // For the next frame only.
  void SetFiller(std::size_t points) { filler_ = points; }

  DacFailure OpenDac(engine::GeneratorState& generator) override {
    return device_->OpenDac(generator);
  }
  DacFailure SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) override {
    const engine::FrameData* out = &frame;
    if (filler_ > 0 && !frame.FrameBuffer.empty()) {
      // The beam waits where the last frame left it; before the first frame,
      // where this one begins.
      const engine::LaserPoint at = haveLast_ ? last_ : frame.FrameBuffer.front();
      withFiller_.FrameBuffer.assign(filler_, engine::LaserPoint{at.X, at.Y, 0, 0, 0, 0});
      withFiller_.FrameBuffer.insert(withFiller_.FrameBuffer.end(), frame.FrameBuffer.begin(),
                                     frame.FrameBuffer.end());
      withFiller_.FrameBytes =
          static_cast<std::int32_t>(withFiller_.FrameBuffer.size() * sizeof(engine::LaserPoint));
      withFiller_.PointPeriod = frame.PointPeriod;
      out = &withFiller_;
    }
    filler_ = 0;
    if (!frame.FrameBuffer.empty()) {
      last_ = frame.FrameBuffer.back();
      haveLast_ = true;
    }
    return device_->SendFrame(*out, pointsPerSec);
  }
  DacFailure CloseDac() override { return device_->CloseDac(); }
  std::string StatusNote() const override { return device_->StatusNote(); }
  void Interrupt() override { device_->Interrupt(); }
  std::optional<FramePlayTime> LastFramePlayTime() const override {
    return device_->LastFramePlayTime();
  }

 private:
  std::unique_ptr<DacDriver> device_;
  std::size_t filler_ = 0;
  engine::FrameData withFiller_;
  engine::LaserPoint last_{};
  bool haveLast_ = false;
};

// Hands the projection view one output's frames: the one the board views.
class LaneView final : public SentFrameView {
 public:
  LaneView(SentFrameView* view, const std::atomic<std::size_t>& viewed, std::size_t index)
      : view_(view), viewed_(viewed), index_(index) {}
  void FrameSent(std::span<const engine::LaserPoint> frame, std::int32_t pointsPerSec) override {
    if (viewed_ == index_)
      view_->FrameSent(frame, pointsPerSec);
  }

 private:
  SentFrameView* view_;
  const std::atomic<std::size_t>& viewed_;
  std::size_t index_;
};

std::string CountText(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

struct ShowDriver::Lane {
  enum class Job { None, Open, Rejoin, Close };
  struct Queued {
    engine::FrameData Frame;
    std::int32_t PointsPerSec = 0;
    std::uint64_t Serial = 0;
  };
  // A frame handed to the present device: which frame, and the dark time
  // put before it.
  struct Sent {
    std::uint64_t Serial;
    double FillerSec;
  };

  ShowOutput Output;
  ShowOutputState State = ShowOutputState::Opening;
  std::string Why;
  std::string Note;
  Job Pending = Job::None;
  bool Busy = false;  // a job or a frame is under way on the lane's thread
  // The profile over the filler over the device; set from just before its
  // open until just after its close, so Interrupt always reaches it.
  std::unique_ptr<DacDriver> Driver;
  FillerDriver* Filler = nullptr;
  bool Timed = false;  // its device tells when frames play
  engine::GeneratorState* Generator = nullptr;
  engine::GeneratorState OwnGenerator;
  std::optional<LaneView> View;

  std::deque<Queued> Queue;   // frames not yet begun, oldest first
  std::vector<Queued> Spare;  // their buffers, kept for reuse
  double QueuedSec = 0.0;
  std::optional<std::uint64_t> Begun;  // the last frame it began
  std::uint64_t FirstFrame = 0;        // the first frame it was given since it opened
  std::uint64_t Skipped = 0;
  bool Lagging = false;
  double DarkGivenSec = 0.0;

  std::deque<Sent> SentFrames;  // from the frame numbered SentBase on
  std::uint64_t SentBase = 0;
  std::uint64_t MeasuredFrames = 0;

  std::condition_variable Wake;
  std::thread Thread;
};

struct ShowBoard::Shared {
  explicit Shared(std::size_t outputs, ShowTiming timing)
      : Timing(timing), Sync(outputs, timing.Sync) {}

  ShowTiming Timing;
  mutable std::mutex Mutex;
  std::condition_variable Changed;  // what the driver's calls wait for
  int Waiting = 0;                  // driver calls waiting on it now
  std::uint64_t Awaited = 0;        // the frame SendFrame waits for to begin
  std::vector<std::unique_ptr<ShowDriver::Lane>> Lanes;
  ShowSync Sync;
  std::uint64_t NextSerial = 0;
  bool Accepting = false;  // between the open and the close: rejoins welcome
  bool Closing = false;
  bool Interrupted = false;
  bool Quit = false;
  std::atomic<std::size_t> Viewed{0};
  SentFrameView* View = nullptr;
};

// ---- The board ----

std::vector<ShowOutputStatus> ShowBoard::Outputs() const {
  std::lock_guard lock(shared_->Mutex);
  std::vector<ShowOutputStatus> rows;
  for (const auto& lane : shared_->Lanes) {
    rows.push_back({lane->Output.Name, lane->State, lane->Why, lane->Note, lane->Skipped,
                    lane->DarkGivenSec * 1000.0});
  }
  return rows;
}

double ShowBoard::SpreadMs() const {
  std::lock_guard lock(shared_->Mutex);
  return shared_->Sync.SpreadSec() * 1000.0;
}

bool ShowBoard::Rejoin(std::size_t output) const {
  std::lock_guard lock(shared_->Mutex);
  if (!shared_->Accepting || shared_->Closing || shared_->Interrupted || shared_->Quit ||
      output >= shared_->Lanes.size())
    return false;
  ShowDriver::Lane& lane = *shared_->Lanes[output];
  if (lane.State != ShowOutputState::Left || lane.Pending != ShowDriver::Lane::Job::None ||
      lane.Busy)
    return false;
  lane.Pending = ShowDriver::Lane::Job::Rejoin;
  lane.State = ShowOutputState::Rejoining;
  lane.Wake.notify_one();
  return true;
}

void ShowBoard::SetViewed(std::size_t output) const {
  shared_->Viewed = output;
}

std::size_t ShowBoard::Viewed() const {
  return shared_->Viewed;
}

// ---- The driver ----

namespace {

using Lane = ShowDriver::Lane;
using Shared = ShowBoard::Shared;

void Recycle(Lane& lane, Lane::Queued&& queued) {
  lane.Spare.push_back(std::move(queued));
}

void DropQueue(Lane& lane) {
  while (!lane.Queue.empty()) {
    Recycle(lane, std::move(lane.Queue.front()));
    lane.Queue.pop_front();
  }
  lane.QueuedSec = 0.0;
}

void Enqueue(Shared& shared, std::size_t index, const engine::FrameData& frame,
             std::int32_t pointsPerSec, std::uint64_t serial) {
  Lane& lane = *shared.Lanes[index];
  Lane::Queued queued;
  if (!lane.Spare.empty()) {
    queued = std::move(lane.Spare.back());
    lane.Spare.pop_back();
  }
  queued.Frame.FrameBuffer.assign(frame.FrameBuffer.begin(), frame.FrameBuffer.end());
  queued.Frame.FrameBytes = frame.FrameBytes;
  queued.Frame.PointPeriod = frame.PointPeriod;
  queued.PointsPerSec = pointsPerSec;
  queued.Serial = serial;
  lane.QueuedSec += PlayingSec(frame, pointsPerSec);
  lane.Queue.push_back(std::move(queued));
  // An output that cannot keep up skips its oldest frames rather than fall
  // ever further behind; meanwhile it does not set the show's time.
  while (lane.Queue.size() > shared.Timing.LeastQueuedFrames &&
         lane.QueuedSec > shared.Timing.MostQueuedSec) {
    lane.QueuedSec -= PlayingSec(lane.Queue.front().Frame, lane.Queue.front().PointsPerSec);
    Recycle(lane, std::move(lane.Queue.front()));
    lane.Queue.pop_front();
    ++lane.Skipped;
    lane.Lagging = true;
    shared.Sync.SetLagging(index, true);
  }
}

// What the device said of its frames since the last look.
void TakeMeasurement(Shared& shared, std::size_t index) {
  Lane& lane = *shared.Lanes[index];
  if (!lane.Timed || lane.Filler == nullptr)
    return;
  const std::optional<FramePlayTime> played = lane.Filler->LastFramePlayTime();
  if (!played || played->Frames <= lane.MeasuredFrames)
    return;
  lane.MeasuredFrames = played->Frames;
  const std::uint64_t number = played->Frames - 1;
  while (!lane.SentFrames.empty() && lane.SentBase < number) {
    lane.SentFrames.pop_front();
    ++lane.SentBase;
  }
  if (lane.SentFrames.empty() || lane.SentBase != number)
    return;
  // The device's frame began with the dark time; the figure's after it.
  const Lane::Sent& sent = lane.SentFrames.front();
  shared.Sync.Measured(index, sent.Serial, Seconds(played->StartsAt) + sent.FillerSec);
}

std::string JoinedReasons(const Shared& shared) {
  std::string text;
  for (const auto& lane : shared.Lanes) {
    if (!lane->Why.empty())
      text += (text.empty() ? "" : "\n") + lane->Why;
  }
  return text;
}

}  // namespace

ShowDriver::ShowDriver(std::vector<ShowOutput> outputs, SentFrameView* view, ShowTiming timing)
    : shared_(std::make_shared<ShowBoard::Shared>(outputs.size(), timing)) {
  shared_->View = view;
  for (ShowOutput& output : outputs) {
    auto lane = std::make_unique<Lane>();
    lane->Output = std::move(output);
    shared_->Lanes.push_back(std::move(lane));
  }
  for (std::size_t i = 0; i < shared_->Lanes.size(); ++i)
    shared_->Lanes[i]->Thread = std::thread([this, i] { LaneMain(i); });
}

ShowDriver::~ShowDriver() {
  {
    std::lock_guard lock(shared_->Mutex);
    shared_->Quit = true;
    shared_->Accepting = false;
    for (auto& lane : shared_->Lanes) {
      if (lane->Driver)
        lane->Driver->Interrupt();
      lane->Wake.notify_one();
    }
  }
  for (auto& lane : shared_->Lanes)
    lane->Thread.join();
}

DacFailure ShowDriver::OpenDac(engine::GeneratorState& generator) {
  std::unique_lock lock(shared_->Mutex);
  for (std::size_t i = 0; i < shared_->Lanes.size(); ++i) {
    Lane& lane = *shared_->Lanes[i];
    lane.OwnGenerator = generator;
    lane.Generator = i == 0 ? &generator : &lane.OwnGenerator;
    lane.Pending = Lane::Job::Open;
    lane.Wake.notify_one();
  }
  ++shared_->Waiting;
  shared_->Changed.wait(lock, [this] {
    return std::all_of(shared_->Lanes.begin(), shared_->Lanes.end(), [](const auto& lane) {
      return lane->Pending == Lane::Job::None && !lane->Busy;
    });
  });
  --shared_->Waiting;
  const bool anyPlaying =
      std::any_of(shared_->Lanes.begin(), shared_->Lanes.end(),
                  [](const auto& lane) { return lane->State == ShowOutputState::Playing; });
  if (!anyPlaying)
    return JoinedReasons(*shared_);
  shared_->Accepting = true;
  return std::nullopt;
}

DacFailure ShowDriver::SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) {
  Shared& shared = *shared_;
  std::unique_lock lock(shared.Mutex);
  if (shared.Interrupted)
    return std::nullopt;
  const std::uint64_t serial = shared.NextSerial++;
  shared.Sync.FrameMade(serial, PlayingSec(frame, pointsPerSec));
  for (std::size_t i = 0; i < shared.Lanes.size(); ++i) {
    if (shared.Lanes[i]->State != ShowOutputState::Playing)
      continue;
    Enqueue(shared, i, frame, pointsPerSec, serial);
    shared.Lanes[i]->Wake.notify_one();
  }
  const auto patience = shared.Timing.LaggardPatience +
                        std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(PlayingSec(frame, pointsPerSec)));
  std::optional<Clock::time_point> firstBegunAt;
  for (;;) {
    bool anyPlaying = false, anyGiven = false, anyTimed = false, timedBegun = false,
         anyBegun = false, allBegun = true;
    for (const auto& lane : shared.Lanes) {
      if (lane->State != ShowOutputState::Playing)
        continue;
      anyPlaying = true;
      // One that joined after this frame was handed out never gets it.
      if (lane->FirstFrame > serial)
        continue;
      anyGiven = true;
      const bool begun = lane->Begun && *lane->Begun >= serial;
      anyTimed = anyTimed || lane->Timed;
      timedBegun = timedBegun || (lane->Timed && begun);
      anyBegun = anyBegun || begun;
      allBegun = allBegun && begun;
    }
    if (shared.Interrupted)
      return std::nullopt;
    if (!anyPlaying)
      return JoinedReasons(shared);
    if (!anyGiven)
      return std::nullopt;
    // The output that asks for frames soonest sets the pace: one that tells
    // when it plays, or else the last to begin.
    if (anyTimed ? timedBegun : allBegun)
      return std::nullopt;
    if (anyBegun && !firstBegunAt)
      firstBegunAt = Clock::now();
    shared.Awaited = serial;
    if (firstBegunAt) {
      if (Clock::now() - *firstBegunAt >= patience)
        return std::nullopt;
      ++shared.Waiting;
      shared.Changed.wait_until(lock, *firstBegunAt + patience);
      --shared.Waiting;
    } else {
      ++shared.Waiting;
      shared.Changed.wait(lock);
      --shared.Waiting;
    }
  }
}

DacFailure ShowDriver::CloseDac() {
  Shared& shared = *shared_;
  std::unique_lock lock(shared.Mutex);
  shared.Accepting = false;
  shared.Closing = true;
  shared.Awaited = 0;
  for (auto& lane : shared.Lanes) {
    if (lane->State == ShowOutputState::Playing && lane->Pending == Lane::Job::None)
      lane->Pending = Lane::Job::Close;
    lane->Wake.notify_one();
  }
  ++shared.Waiting;
  shared.Changed.wait(lock, [&] {
    return std::all_of(shared.Lanes.begin(), shared.Lanes.end(), [](const auto& lane) {
      return lane->Pending == Lane::Job::None && !lane->Busy &&
             lane->State != ShowOutputState::Playing;
    });
  });
  --shared.Waiting;
  DacFailure failure;
  for (const auto& lane : shared.Lanes) {
    if (lane->State == ShowOutputState::Closed && !lane->Why.empty())
      AddFailure(failure, lane->Why);
  }
  return failure;
}

std::string ShowDriver::StatusNote() const {
  std::lock_guard lock(shared_->Mutex);
  std::size_t playing = 0;
  std::string parts;
  auto add = [&parts](const std::string& part) { parts += (parts.empty() ? "" : "; ") + part; };
  for (const auto& lane : shared_->Lanes) {
    switch (lane->State) {
      case ShowOutputState::Playing:
        ++playing;
        if (lane->Skipped > 0)
          add(lane->Output.Name +
              " cannot keep up: " + CountText(lane->Skipped, "frame", "frames") + " skipped");
        if (!lane->Note.empty())
          add(lane->Output.Name + ": " + lane->Note);
        break;
      case ShowOutputState::Left:
        add(lane->Output.Name + " left the show: " + lane->Why);
        break;
      case ShowOutputState::Rejoining:
        add(lane->Output.Name + " is rejoining");
        break;
      default:
        break;
    }
  }
  if (parts.empty())
    return {};
  const std::size_t outputs = shared_->Lanes.size();
  const std::string count = playing == outputs ? CountText(outputs, "projector", "projectors")
                                               : std::to_string(playing) + " of " +
                                                     CountText(outputs, "projector", "projectors");
  return count + ": " + parts;
}

void ShowDriver::Interrupt() {
  std::lock_guard lock(shared_->Mutex);
  shared_->Interrupted = true;
  for (auto& lane : shared_->Lanes) {
    if (lane->Driver)
      lane->Driver->Interrupt();
    DropQueue(*lane);
    lane->Wake.notify_one();
  }
  shared_->Changed.notify_all();
}

// ---- Each output's own thread ----

void ShowDriver::LaneMain(std::size_t index) {
  Shared& shared = *shared_;
  Lane& lane = *shared.Lanes[index];
  std::unique_lock lock(shared.Mutex);

  // Runs `call` on the lane's driver without the lock; whatever a device
  // throws ends that output, not the program.
  auto unlocked = [&](auto call) -> DacFailure {
    DacDriver* driver = lane.Driver.get();
    lane.Busy = true;
    lock.unlock();
    DacFailure failure;
    try {
      failure = call(*driver);
    } catch (const std::exception& e) {
      failure = lane.Output.Name + " failed: " + e.what();
    }
    lock.lock();
    lane.Busy = false;
    return failure;
  };

  // Closes the lane's device dark and lets go of it.
  auto closeDevice = [&](bool cutShort) -> DacFailure {
    if (!lane.Driver)
      return std::nullopt;
    if (cutShort)
      lane.Driver->Interrupt();  // what it holds need not play out
    DacFailure failure = unlocked([](DacDriver& driver) { return driver.CloseDac(); });
    std::unique_ptr<DacDriver> driver = std::move(lane.Driver);
    lane.Filler = nullptr;
    lane.Busy = true;
    lock.unlock();
    driver.reset();
    lock.lock();
    lane.Busy = false;
    return failure;
  };

  auto leave = [&](const std::string& why) {
    lane.State = ShowOutputState::Left;
    lane.Why = why;
    lane.Note.clear();
    lane.Begun.reset();
    lane.Lagging = false;
    DropQueue(lane);
    shared.Sync.Forget(index);
    closeDevice(true);
  };

  auto open = [&] {
    lane.Pending = Lane::Job::None;
    lane.Busy = true;
    lock.unlock();
    std::unique_ptr<DacDriver> device;
    try {
      device = lane.Output.MakeDevice ? lane.Output.MakeDevice() : nullptr;
    } catch (const std::exception&) {
      device = nullptr;
    }
    lock.lock();
    lane.Busy = false;
    if (!device) {
      leave(lane.Output.Name + " cannot be played: it is not known to this program.");
      return;
    }
    auto filler = std::make_unique<FillerDriver>(std::move(device));
    lane.Filler = filler.get();
    SentFrameView* view = nullptr;
    if (shared.View != nullptr) {
      lane.View.emplace(shared.View, shared.Viewed, index);
      view = &*lane.View;
    }
    lane.Driver = std::make_unique<ProfiledDacDriver>(std::move(filler), lane.Output.Profile, view);
    lane.Timed = lane.Filler->LastFramePlayTime().has_value();
    if (shared.Interrupted || shared.Quit || shared.Closing) {
      leave(lane.Output.Name + ": the show ended before it opened.");
      return;
    }
    engine::GeneratorState* generator = lane.Generator;
    const DacFailure failure =
        unlocked([generator](DacDriver& driver) { return driver.OpenDac(*generator); });
    if (failure) {
      leave(*failure);
      return;
    }
    lane.Why.clear();
    lane.Note.clear();
    lane.State = ShowOutputState::Playing;
    lane.FirstFrame = shared.NextSerial;
    lane.SentFrames.clear();
    lane.SentBase = 0;
    lane.MeasuredFrames = 0;
    shared.Sync.Forget(index);
  };

  // The frame it began, if it began one.
  auto sendNext = [&]() -> std::optional<std::uint64_t> {
    Lane::Queued queued = std::move(lane.Queue.front());
    lane.Queue.pop_front();
    lane.QueuedSec -= PlayingSec(queued.Frame, queued.PointsPerSec);
    if (lane.Lagging && lane.Queue.empty()) {
      lane.Lagging = false;  // caught up
      shared.Sync.SetLagging(index, false);
    }
    TakeMeasurement(shared, index);
    // Dark time first when this output plays ahead of the others.
    std::size_t fillerPoints = 0;
    if (lane.Timed) {
      fillerPoints = static_cast<std::size_t>(
          std::lrint(shared.Sync.FillerDue(index) * std::max(queued.PointsPerSec, 1)));
    }
    const double fillerSec = static_cast<double>(fillerPoints) / std::max(queued.PointsPerSec, 1);
    shared.Sync.Gave(index, queued.Serial, fillerSec);
    lane.DarkGivenSec += fillerSec;
    const std::uint64_t serial = queued.Serial;
    if (lane.Timed) {
      lane.SentFrames.push_back({serial, fillerSec});
      // A device that never tells would otherwise have them pile up.
      if (lane.SentFrames.size() > kSentFramesKept) {
        lane.SentFrames.pop_front();
        ++lane.SentBase;
      }
    }
    lane.Filler->SetFiller(fillerPoints);
    std::string note;
    const DacFailure failure = unlocked([&](DacDriver& driver) {
      DacFailure sent = driver.SendFrame(queued.Frame, queued.PointsPerSec);
      note = driver.StatusNote();
      return sent;
    });
    Recycle(lane, std::move(queued));
    lane.Note = note;
    if (failure && !shared.Interrupted) {
      leave(*failure);
      return std::nullopt;
    }
    lane.Begun = serial;
    TakeMeasurement(shared, index);
    return serial;
  };

  for (;;) {
    lane.Wake.wait(lock, [&] {
      return shared.Quit || lane.Pending != Lane::Job::None ||
             (lane.State == ShowOutputState::Playing && !lane.Queue.empty() && !shared.Interrupted);
    });
    if (shared.Quit)
      break;
    std::optional<std::uint64_t> began;
    if (lane.Pending == Lane::Job::Open || lane.Pending == Lane::Job::Rejoin) {
      open();
      // An output that opened as the show was closing closes at once.
      if (shared.Closing && lane.State == ShowOutputState::Playing)
        lane.Pending = Lane::Job::Close;
    } else if (lane.State == ShowOutputState::Playing && !lane.Queue.empty() &&
               !shared.Interrupted) {
      // What is queued plays before a close.
      began = sendNext();
    } else if (lane.Pending == Lane::Job::Close) {
      lane.Pending = Lane::Job::None;
      DropQueue(lane);
      const DacFailure failure = closeDevice(false);
      lane.State = ShowOutputState::Closed;
      lane.Why = failure ? *failure : std::string();
    }
    // A driver call waiting looks again, unless all that happened is that
    // this output began a frame older than the one awaited.
    if (shared.Waiting > 0 && !(began && *began < shared.Awaited))
      shared.Changed.notify_all();
  }
  // The program goes: a device still open is left dark.
  closeDevice(true);
  shared.Changed.notify_all();
}

}  // namespace whorlgen::output
