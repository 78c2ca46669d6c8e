#pragma once
// The laser DAC drivers. A run drives one driver through the calls below, each
// made on the run's device thread (DeviceRunner), one at a time:
//   Start:  driver = SelectDacDriver(DacName, ...) or a family's; OpenDac(generator)
//   frame:  SendFrame(frame, PointsPerSec), after BuildFrame
//   end:    CloseDac(), as the last end step
// A failure is a message for the operator: end the run as Stop does and show
// it after the end steps. CloseDac is safe after any failure.
//
// Devices come in two shapes. A frame device (the three library DACs,
// "SoundCard", "EZLase" and "RIYA", and the USB and audio DACs that take
// frames) waits until the device can take a frame or a block of it, then
// hands it over; that wait is what paces a run. A point-stream device (the
// network DACs) hands the frame to a feeder whose I/O thread keeps the device
// supplied point by point (lasers/point_stream.h).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "output/device_library.h"

namespace whorlgen::output {

// Owned by the window and kept from run to run.
struct DacState {
  std::int16_t CardIndex = 0;   // card count at the last "SoundCard" or "EZLase" start, minus 1
  std::uint8_t RiyaOpened = 0;  // RiOpenDevices at the last "RIYA" start; 0 sends nothing
  std::int16_t DacStatus = 0;   // last answer of EasyLaseGetStatus
};

// An EasyLase-type card may answer "busy" for at most this long before the
// run is ended: a generous multiple of the playing time of the longest frame
// the card may still hold, never less than the minimum. The card is busy
// while it plays what it holds, whatever the size of the frame waiting to go.
// Without a bound a card that hangs would freeze the panel.
struct DacWaitLimits {
  std::chrono::milliseconds MinimumBusyMs{1000};
  std::int32_t FramePlayTimes = 10;
};

std::chrono::nanoseconds BusyWaitLimit(std::chrono::nanoseconds longestHeldPlayingTime,
                                       const DacWaitLimits& limits);

// The RIYA device takes a frame in blocks of at most this many points.
inline constexpr std::size_t kRiyaBlockPoints = 2000;
// The RIYA wait pauses 1 ms at most this often, then sends the block anyway.
inline constexpr int kRiyaReadyPauses = 200;

// When the frames handed to a streaming device begin to play, as far as the
// device lets this computer know: how many frames have gone out to it so
// far, and when the first point of the last of them plays (this machine's
// steady clock).
struct FramePlayTime {
  std::uint64_t Frames = 0;
  std::chrono::steady_clock::time_point StartsAt{};
};

class DacDriver {
 public:
  DacDriver(const DacDriver&) = delete;
  DacDriver& operator=(const DacDriver&) = delete;
  virtual ~DacDriver() = default;

  // Start of a run, with Running already set and before the first frame.
  // A RIYA device that opens moves the generator's last point to (2047, 2047).
  virtual DacFailure OpenDac(engine::GeneratorState& generator) = 0;
  // Hands the built frame to the device. pointsPerSec is the nominal point
  // rate of the frame.
  virtual DacFailure SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) = 0;
  // End of a run. Runs its whole sequence even after a failure, skipping only
  // calls into a library or function already reported missing.
  virtual DacFailure CloseDac() = 0;
  // A short word for the operator while the run lasts ("no sound card: nothing
  // is heard", "beam guard: output blanked"); empty when all is well. Read on
  // the device thread after each call.
  virtual std::string StatusNote() const { return {}; }
  // Any thread, at any time: the run is ending and will not wait for the
  // device. A wait inside OpenDac, SendFrame or CloseDac gives up within a
  // few tens of milliseconds (its call then returns whatever it likes; the
  // run does not report it). CloseDac still runs afterwards and must leave
  // the device dark. Devices whose waits are always short need not care.
  virtual void Interrupt() {}
  // Any thread: when the frames sent begin to play, for keeping several
  // devices in step. Nothing for a device that cannot tell (a frame-by-frame
  // or library DAC).
  virtual std::optional<FramePlayTime> LastFramePlayTime() const { return std::nullopt; }

 protected:
  DacDriver() = default;
};

// A device that takes a frame whole, or in blocks, each once it has said it
// can. SendFrame hands the blocks over in order, each after its own wait.
class FrameDevice : public DacDriver {
 public:
  DacFailure SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) final;

 protected:
  // The size of the block that starts at point `first` of a frame of `total`
  // points; 0 when nothing more of the frame goes to the device.
  virtual std::size_t BlockAt(std::size_t first, std::size_t total) const = 0;
  // Returns once the device can take the next block of `points` points, or
  // with the reason it cannot (the block is then not written).
  virtual DacFailure WaitReady(std::size_t points, std::int32_t pointsPerSec) = 0;
  // Hands the device `count` points of the frame from `first` on, read in
  // place.
  virtual DacFailure WriteBlock(const engine::FrameData& frame, std::size_t first,
                                std::size_t count, std::int32_t pointsPerSec) = 0;
};

// The back-end for `dacName`, compared exactly and case-sensitively with
// "SoundCard", "EZLase" and "RIYA"; a driver that touches no library for any
// other name. `state` and `libraries` must outlive the driver.
std::unique_ptr<DacDriver> SelectDacDriver(const std::string& dacName, DacState& state,
                                           DeviceLibraries& libraries, DacWaitLimits limits = {});

}  // namespace whorlgen::output
