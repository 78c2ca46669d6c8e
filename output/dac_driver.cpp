#include "output/dac_driver.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cstddef>
#include <thread>

#include "devices/dac_api.h"
#include "engine/dac_units.h"

namespace whorlgen::output {

using engine::LaserPoint;

// The libraries read the frame as DacPoint records, so the two layouts must
// be one and the same.
static_assert(sizeof(DacPoint) == sizeof(LaserPoint));
static_assert(offsetof(DacPoint, x) == offsetof(LaserPoint, X) &&
              offsetof(DacPoint, y) == offsetof(LaserPoint, Y));
static_assert(offsetof(DacPoint, r) == offsetof(LaserPoint, R) &&
              offsetof(DacPoint, g) == offsetof(LaserPoint, G) &&
              offsetof(DacPoint, b) == offsetof(LaserPoint, B) &&
              offsetof(DacPoint, i) == offsetof(LaserPoint, I));

namespace {

// The address of point `first` of the frame, as the libraries receive it:
// in place, never copied.
const DacPoint* PointAddress(const engine::FrameData& frame, std::size_t first) {
  return reinterpret_cast<const DacPoint*>(frame.FrameBuffer.data() + first);
}

// A card plays one frame while it holds the next.
constexpr std::size_t kFramesACardHolds = 2;

// Any other DacName: frames are built, previewed and recorded, never sent.
class NoDeviceDriver final : public DacDriver {
 public:
  DacFailure OpenDac(engine::GeneratorState& /*generator*/) override { return std::nullopt; }
  DacFailure SendFrame(const engine::FrameData& /*frame*/, std::int32_t /*pointsPerSec*/) override {
    return std::nullopt;
  }
  DacFailure CloseDac() override { return std::nullopt; }
};

// "SoundCard" and "EZLase": the same calls, each over its own library.
class EasyLaseDriver final : public FrameDevice {
 public:
  EasyLaseDriver(DeviceLibrary library, DacState& state, DeviceLibraries& libraries,
                 DacWaitLimits limits)
      : library_(library), state_(state), binding_(libraries, library), limits_(limits) {}

  DacFailure OpenDac(engine::GeneratorState& /*generator*/) override {
    DacFailure failure;
    // A count of 0 is not an error: the run goes on with card -1.
    if (binding_.Resolve(getCardNum_, failure)) {
      state_.CardIndex = static_cast<std::int16_t>(getCardNum_.Address() - 1);
    }
    noSoundCard_ = library_ == DeviceLibrary::SoundCard && state_.CardIndex < 0;
    return failure;
  }

  std::string StatusNote() const override {
    return noSoundCard_ ? "no sound card: nothing is heard" : std::string();
  }

  void Interrupt() override { interrupted_ = true; }

  DacFailure CloseDac() override {
    DacFailure failure;
    Close(failure);
    // The sound-card library's close sequence: close, count the cards, close
    // again. The count may open a card anew, which the second close releases.
    if (library_ == DeviceLibrary::SoundCard) {
      if (binding_.Resolve(getCardNum_, failure))
        getCardNum_.Address();
      Close(failure);
    }
    return failure;
  }

 protected:
  // The frame goes whole, in one call.
  std::size_t BlockAt(std::size_t first, std::size_t total) const override {
    return first == 0 ? total : 0;
  }

  DacFailure WriteBlock(const engine::FrameData& frame, [[maybe_unused]] std::size_t first,
                        std::size_t count, std::int32_t pointsPerSec) override {
    assert(first == 0 && count == frame.FrameBuffer.size());
    assert(static_cast<std::size_t>(frame.FrameBytes) == count * sizeof(LaserPoint));
    DacFailure failure;
    if (!binding_.Resolve(writeFrame_, failure))
      return failure;
    const std::int16_t accepted = writeFrame_.Address(&state_.CardIndex, PointAddress(frame, 0),
                                                      frame.FrameBytes, pointsPerSec);
    // Our sound-card library says why it failed, whether the failure showed
    // in its status or in a refused frame.
    if (SoundCardFailed() ||
        (accepted == 0 && state_.CardIndex >= 0 && library_ == DeviceLibrary::SoundCard))
      return SoundCardFailure();
    // Without a card (index -1) the library refuses every frame, and the run
    // goes on as it always has; a card that is there and refuses is a fault.
    if (accepted == 0 && state_.CardIndex >= 0)
      return Refused(count);
    Held(engine::PlayingTime(static_cast<std::int64_t>(count), pointsPerSec));
    return std::nullopt;
  }

  // Polls without a pause of its own (the library may wait up to about a
  // millisecond before answering busy), so the next frame follows as soon as
  // the card can take it. Every answer other than busy ends the wait.
  DacFailure WaitReady(std::size_t /*points*/, std::int32_t /*pointsPerSec*/) override {
    DacFailure failure;
    if (!binding_.Resolve(getStatus_, failure))
      return failure;
    const auto limit = BusyWaitLimit(*std::max_element(held_.begin(), held_.end()), limits_);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      state_.DacStatus = getStatus_.Address(&state_.CardIndex);
      if (state_.DacStatus != EASYLASE_STATUS_BUSY)
        return std::nullopt;
      // The run is ending: the frame is not written, and the run does not wait.
      if (interrupted_)
        return DacFailure("interrupted");
      const auto waited = std::chrono::steady_clock::now() - start;
      if (waited >= limit)
        return StoppedAnswering(waited);
    }
  }

 private:
  // The playing times of the last frames the card took, which it may still hold.
  void Held(std::chrono::nanoseconds playingTime) {
    held_[heldNext_] = playingTime;
    heldNext_ = (heldNext_ + 1) % held_.size();
  }

  std::string Device() const {
    const std::string device =
        library_ == DeviceLibrary::SoundCard ? "The sound-card DAC" : "The EasyLase card";
    return device + " (" + LibraryFileName(library_) + ", card " +
           std::to_string(state_.CardIndex) + ")";
  }

  std::string Refused(std::size_t points) const {
    return Device() + " refused a frame of " + std::to_string(points) +
           " points (EasyLaseWriteFrame answered 0), so the run was stopped.";
  }

  void Close(DacFailure& failure) {
    if (binding_.Resolve(close_, failure))
      close_.Address();
  }

  // Only our sound-card library answers "failed"; to a vendor's EasyLase
  // library that value means whatever it means, and ends the wait as any
  // other answer but busy does.
  bool SoundCardFailed() const {
    return library_ == DeviceLibrary::SoundCard && state_.DacStatus == EASYLASE_STATUS_FAILED;
  }

  // The library's own reason, from its optional report.
  std::string SoundCardFailure() {
    DacFailure missing;
    std::string reason = "it gave no reason";
    if (binding_.Resolve(getReport_, missing)) {
      EzAudDacReport report{};
      getReport_.Address(&report);
      report.failure[sizeof report.failure - 1] = '\0';
      if (report.failure[0] != '\0')
        reason = report.failure;
    }
    return "The sound-card DAC (" + std::string(LibraryFileName(library_)) + ") failed: " + reason +
           ". The run was stopped.";
  }

  std::string StoppedAnswering(std::chrono::steady_clock::duration waited) const {
    const auto waitedMs = std::chrono::duration_cast<std::chrono::milliseconds>(waited).count();
    return Device() + " stopped answering: it reported busy for " + std::to_string(waitedMs) +
           " ms, so the run was stopped.";
  }

  DeviceLibrary library_;
  DacState& state_;
  LibraryBinding binding_;
  DacWaitLimits limits_;
  std::array<std::chrono::nanoseconds, kFramesACardHolds> held_{};
  std::size_t heldNext_ = 0;
  DeviceFunction<decltype(&EasyLaseGetCardNum)> getCardNum_{"EasyLaseGetCardNum"};
  DeviceFunction<decltype(&EasyLaseGetStatus)> getStatus_{"EasyLaseGetStatus"};
  DeviceFunction<decltype(&EasyLaseWriteFrame)> writeFrame_{"EasyLaseWriteFrame"};
  DeviceFunction<decltype(&EasyLaseClose)> close_{"EasyLaseClose"};
  DeviceFunction<decltype(&EzAudDacGetReport)> getReport_{"EzAudDacGetReport"};
  bool noSoundCard_ = false;  // "SoundCard" found no card at the open: nothing is heard
  std::atomic<bool> interrupted_{false};
};

class RiyaDriver final : public FrameDevice {
 public:
  RiyaDriver(DacState& state, DeviceLibraries& libraries)
      : state_(state), binding_(libraries, DeviceLibrary::Riya) {}

  DacFailure OpenDac(engine::GeneratorState& generator) override {
    DacFailure failure;
    state_.RiyaOpened = 0;
    if (!binding_.Resolve(openDevices_, failure))
      return failure;
    state_.RiyaOpened = openDevices_.Address();
    if (state_.RiyaOpened == 0)
      return failure;
    if (!binding_.Resolve(initChannel_, failure))
      return failure;
    initChannel_.Address(0, kChannelValue);
    if (!binding_.Resolve(showBlock_, failure))
      return failure;
    // One dark point near the centre, where the first frame's velocity limit
    // then starts from.
    showBlock_.Address(0, &startPoint_, 1, kStartPointPeriod, kShowMode);
    generator.LastX = kStartPointCode;
    generator.LastY = kStartPointCode;
    return failure;
  }

  void Interrupt() override { interrupted_ = true; }

  // The whole sequence, whether or not a device was opened.
  DacFailure CloseDac() override {
    DacFailure failure;
    if (binding_.Resolve(stopShow_, failure))
      stopShow_.Address(0);
    if (binding_.Resolve(closeDevices_, failure))
      closeDevices_.Address();
    if (binding_.Resolve(freeResource_, failure))
      freeResource_.Address();
    return failure;
  }

 protected:
  // Blocks of at most kRiyaBlockPoints; nothing at all when no device opened.
  std::size_t BlockAt(std::size_t first, std::size_t total) const override {
    return state_.RiyaOpened == 0 ? 0 : std::min(kRiyaBlockPoints, total - first);
  }

  DacFailure WriteBlock(const engine::FrameData& frame, std::size_t first, std::size_t count,
                        std::int32_t /*pointsPerSec*/) override {
    DacFailure failure;
    if (!binding_.Resolve(showBlock_, failure))
      return failure;
    showBlock_.Address(0, PointAddress(frame, first), static_cast<std::int32_t>(count),
                       frame.PointPeriod, kShowMode);
    return std::nullopt;
  }

  // Gives the device about 200 ms; the block is sent whether or not it
  // reported ready.
  DacFailure WaitReady(std::size_t /*points*/, std::int32_t /*pointsPerSec*/) override {
    DacFailure failure;
    if (!binding_.Resolve(canTake_, failure))
      return failure;
    int pauses = 0;
    // Once the run is ending the pauses are cut short: the block goes at once,
    // as it would after the last pause, so the frame reaches the device whole.
    while (canTake_.Address(0) == 0 && pauses < kRiyaReadyPauses && !interrupted_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ++pauses;
    }
    return std::nullopt;
  }

 private:
  static constexpr std::int32_t kChannelValue = 16;
  static constexpr std::int32_t kShowMode = 30;
  static constexpr std::int32_t kStartPointPeriod = 1000;
  static constexpr std::int16_t kStartPointCode = 2047;

  DacState& state_;
  LibraryBinding binding_;
  // Kept for the whole run, in case a device reads it after the call.
  const DacPoint startPoint_{kStartPointCode, kStartPointCode, 0, 0, 0, 0};
  DeviceFunction<decltype(&RiOpenDevices)> openDevices_{"RiOpenDevices"};
  DeviceFunction<decltype(&Ri_InitChanal)> initChannel_{"Ri_InitChanal"};
  DeviceFunction<decltype(&RiSetShowCadr)> showBlock_{"RiSetShowCadr"};
  DeviceFunction<decltype(&Ri_SetIntCh)> canTake_{"Ri_SetIntCh"};
  DeviceFunction<decltype(&RiStopShow)> stopShow_{"RiStopShow"};
  DeviceFunction<decltype(&RiCloseDevices)> closeDevices_{"RiCloseDevices"};
  DeviceFunction<decltype(&FreeRecource)> freeResource_{"FreeRecource"};
  std::atomic<bool> interrupted_{false};
};

}  // namespace

DacFailure FrameDevice::SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) {
  const std::size_t total = frame.FrameBuffer.size();
  std::size_t first = 0;
  for (std::size_t count = BlockAt(first, total); count > 0; count = BlockAt(first, total)) {
    if (DacFailure failure = WaitReady(count, pointsPerSec))
      return failure;
    if (DacFailure failure = WriteBlock(frame, first, count, pointsPerSec))
      return failure;
    first += count;
  }
  return std::nullopt;
}

std::chrono::nanoseconds BusyWaitLimit(std::chrono::nanoseconds longestHeldPlayingTime,
                                       const DacWaitLimits& limits) {
  const std::chrono::nanoseconds minimum = limits.MinimumBusyMs;
  return std::max(minimum, longestHeldPlayingTime * limits.FramePlayTimes);
}

std::unique_ptr<DacDriver> SelectDacDriver(const std::string& dacName, DacState& state,
                                           DeviceLibraries& libraries, DacWaitLimits limits) {
  if (dacName == "SoundCard") {
    return std::make_unique<EasyLaseDriver>(DeviceLibrary::SoundCard, state, libraries, limits);
  }
  if (dacName == "EZLase") {
    return std::make_unique<EasyLaseDriver>(DeviceLibrary::EasyLase, state, libraries, limits);
  }
  if (dacName == "RIYA")
    return std::make_unique<RiyaDriver>(state, libraries);
  return std::make_unique<NoDeviceDriver>();
}

}  // namespace whorlgen::output
