#include "output/helios_dac.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <span>
#include <thread>
#include <utility>

#include "engine/shown_text.h"

namespace whorlgen::output {
namespace {

using Clock = std::chrono::steady_clock;

// Endpoints: control commands go out on an interrupt endpoint and answers
// come back on another; frames go out in one bulk transfer each.
constexpr std::uint8_t kControlOut = 0x06;
constexpr std::uint8_t kControlIn = 0x83;
constexpr std::uint8_t kFrameOut = 0x02;
constexpr int kInterface = 0;
constexpr int kAltSetting = 1;

constexpr std::uint8_t kStop = 0x01;
constexpr std::uint8_t kShutter = 0x02;
constexpr std::uint8_t kStatus = 0x03;
constexpr std::uint8_t kName = 0x05;
constexpr std::uint8_t kReplyFlag = 0x80;  // an answer repeats its command with this bit set

constexpr std::uint8_t kStartImmediately = 0x01;  // frame flag: cut the playing frame short

constexpr std::size_t kPointBytes = 7;    // 12-bit X and Y in three bytes, then R, G, B, I
constexpr std::size_t kTrailerBytes = 5;  // rate and point count (16 bits each), flags
constexpr std::int32_t kMinRate = 7;
constexpr std::int32_t kMaxRate = 65535;
constexpr auto kControlTimeout = std::chrono::milliseconds(32);
// A run cut short waits at most this long for room for its dark frame.
constexpr auto kCutShortWait = std::chrono::milliseconds(50);

// The firmware ignores a frame whose transfer is a whole number of 64-byte
// USB packets (45 points, 320 bytes, is the first such size).
bool FirmwareMishandles(std::size_t points) {
  return (points * kPointBytes + kTrailerBytes) % 64 == 0;
}

std::chrono::nanoseconds PlayTime(std::size_t points, std::int32_t pointsPerSec) {
  return std::chrono::nanoseconds(
      std::llround(1e9 * static_cast<double>(points) / static_cast<double>(pointsPerSec)));
}

std::int16_t Code12(std::int16_t code) {
  return std::clamp<std::int16_t>(code, 0, 4095);
}

void AppendPoint(std::vector<std::uint8_t>& out, const engine::LaserPoint& p) {
  const auto x = static_cast<std::uint16_t>(Code12(p.X));
  const auto y = static_cast<std::uint16_t>(Code12(p.Y));
  out.push_back(static_cast<std::uint8_t>(x >> 4));
  out.push_back(static_cast<std::uint8_t>(((x & 0x0F) << 4) | (y >> 8)));
  out.push_back(static_cast<std::uint8_t>(y & 0xFF));
  out.insert(out.end(), {p.R, p.G, p.B, p.I});
}

// One transfer. A part of a size the firmware mishandles (only ever a last
// part) gets its last point once more, which only lengthens its end by one
// point's time.
std::vector<std::uint8_t> EncodeFrame(std::span<const engine::LaserPoint> points,
                                      std::int32_t pointsPerSec, std::uint8_t flags) {
  std::size_t count = points.size();
  const bool pad = FirmwareMishandles(count);
  if (pad)
    ++count;
  std::vector<std::uint8_t> out;
  out.reserve(count * kPointBytes + kTrailerBytes);
  for (const engine::LaserPoint& p : points)
    AppendPoint(out, p);
  if (pad)
    AppendPoint(out, points.back());
  const auto rate = static_cast<std::uint16_t>(pointsPerSec);
  out.insert(
      out.end(),
      {static_cast<std::uint8_t>(rate & 0xFF), static_cast<std::uint8_t>(rate >> 8),
       static_cast<std::uint8_t>(count & 0xFF), static_cast<std::uint8_t>(count >> 8), flags});
  return out;
}

std::string DurationText(std::chrono::milliseconds span) {
  if (span.count() % 1000 == 0)
    return std::to_string(span.count() / 1000) + " seconds";
  return std::to_string(span.count()) + " ms";
}

std::string DeviceFailure(const std::string& name, int error) {
  switch (error) {
    case LIBUSB_ERROR_NO_DEVICE:
      return name + " was unplugged (its USB connection is gone).";
    case LIBUSB_ERROR_ACCESS:
      return name +
             ": no permission to use the USB device; install the udev rule "
             "(see the README), then plug the DAC in again.";
    case LIBUSB_ERROR_BUSY:
      return name + " is in use by another program.";
    default:
      return name + ": USB transfer failed: " + UsbErrorText(error) + ".";
  }
}

// Sends a two-byte command; when `reply` is given, reads the answer too.
int Control(UsbLink& link, std::uint8_t command, std::uint8_t value,
            std::array<std::uint8_t, 32>* reply) {
  std::array<std::uint8_t, 2> request{command, value};
  int moved = 0;
  if (int error = link.Interrupt(kControlOut, request, moved, kControlTimeout))
    return error;
  if (reply == nullptr)
    return 0;
  reply->fill(0);
  return link.Interrupt(kControlIn, *reply, moved, kControlTimeout);
}

std::string ReadName(UsbLink& link) {
  std::array<std::uint8_t, 32> reply{};
  if (Control(link, kName, 0, &reply) != 0 || reply[0] != (kName | kReplyFlag))
    return {};
  std::string name;
  for (std::size_t i = 1; i < reply.size() && reply[i] != 0; ++i)
    name.push_back(static_cast<char>(reply[i]));
  const auto last = name.find_last_not_of(' ');
  return last == std::string::npos ? std::string() : name.substr(0, last + 1);
}

class HeliosDriver : public DacDriver {
 public:
  HeliosDriver(std::shared_ptr<UsbBus> bus, DacInfo dac, HeliosTiming timing)
      : bus_(std::move(bus)),
        dac_(std::move(dac)),
        name_(engine::ShownText(dac_.Name, 64)),
        timing_(timing) {}
  ~HeliosDriver() override { StopFeeding(); }

  DacFailure OpenDac(engine::GeneratorState&) override {
    UsbOpenResult opened = bus_->Open(dac_.Address, kInterface, kAltSetting);
    if (!opened.Link)
      return DeviceFailure(name_, opened.Error);
    if (int error = Control(*opened.Link, kShutter, 1, nullptr))
      return DeviceFailure(name_, error);
    link_ = std::move(opened.Link);
    feeder_ = std::thread([this] { Feed(); });
    return std::nullopt;
  }

  DacFailure SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) override {
    if (!feeder_.joinable() || frame.FrameBuffer.empty())
      return std::nullopt;
    if (auto failure = WaitReady(frame.FrameBuffer.size(), pointsPerSec))
      return failure;
    std::unique_lock lock(mutex_);
    if (interrupted_)
      return std::nullopt;
    pending_ = frame.FrameBuffer;
    pendingRate_ = std::clamp(pointsPerSec, kMinRate, kMaxRate);
    hasPending_ = true;
    changed_.notify_all();
    // Returns once the frame is in the DAC: at most one frame waits there.
    changed_.wait(lock, [&] { return !hasPending_ || failure_ || interrupted_; });
    return TakeFailure();
  }

  DacFailure CloseDac() override {
    StopFeeding();
    DacFailure failure;
    {
      std::lock_guard lock(mutex_);
      failure = TakeFailure();
    }
    if (link_ && !unplugged_) {
      if (auto problem = BlankAndStop())
        AddFailure(failure, *problem);
    }
    link_.reset();
    return failure;
  }

  // The feeder gives up its waits; SendFrame returns at once from now on.
  void Interrupt() override {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    changed_.notify_all();
  }

  std::string StatusNote() const override {
    const auto since = Clock::now().time_since_epoch() - lastBlank_.load();
    return lastBlank_.load().count() != 0 && since < std::chrono::seconds(1)
               ? "late frames: blanked"
               : std::string();
  }

 protected:
  // The feeder can take a frame once it has written the one before.
  DacFailure WaitReady(std::size_t, std::int32_t) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !hasPending_ || failure_ || interrupted_; });
    return TakeFailure();
  }

 private:
  // Runs on the feeder thread.
  void Feed() {
    std::chrono::nanoseconds& playing = playing_;
    while (true) {
      if (!AwaitFreeSlot(true, playing))
        return;
      // The part written last has begun to play; the next must follow before
      // it ends. Before the first frame nothing plays and nothing is due.
      std::unique_lock lock(mutex_);
      const auto due = [&] { return stop_ || interrupted_ || hasPending_; };
      if (playing.count() == 0)
        changed_.wait(lock, due);
      else
        changed_.wait_until(lock, Clock::now() + playing - MarginFor(playing), due);
      if (stop_ || interrupted_)
        return;
      if (hasPending_) {
        const std::vector<engine::LaserPoint> frame = pending_;
        const std::int32_t rate = pendingRate_;
        lock.unlock();
        if (!WriteParts(frame, rate, playing))
          return;
        lock.lock();
        hasPending_ = false;
        changed_.notify_all();
      } else {
        lock.unlock();
        if (!WriteBlank(0, playing))
          return;
        lastBlank_ = Clock::now().time_since_epoch();
      }
    }
  }

  std::chrono::nanoseconds MarginFor(std::chrono::nanoseconds playing) const {
    return std::min<std::chrono::nanoseconds>(timing_.Margin, playing / 2);
  }

  bool WriteParts(const std::vector<engine::LaserPoint>& frame, std::int32_t rate,
                  std::chrono::nanoseconds& playing) {
    std::size_t first = 0;
    for (const std::size_t count : HeliosPartSizes(frame.size())) {
      if (first > 0 && !AwaitFreeSlot(false, playing))
        return false;
      const auto part = std::span(frame).subspan(first, count);
      if (!Write(part, rate, 0, playing))
        return false;
      first += count;
    }
    return true;
  }

  // A short dark frame where the beam last was, at the last rate.
  bool WriteBlank(std::uint8_t flags, std::chrono::nanoseconds& playing) {
    const double seconds = std::chrono::duration<double>(timing_.BlankLength).count();
    const auto count = static_cast<std::size_t>(std::clamp<long>(
        std::lrint(seconds * lastRate_), 16, static_cast<long>(kHeliosMaxPoints / 2)));
    const engine::LaserPoint dark{last_.X, last_.Y, 0, 0, 0, 0};
    const std::vector<engine::LaserPoint> blank(count, dark);
    return Write(blank, lastRate_, flags, playing);
  }

  bool Write(std::span<const engine::LaserPoint> points, std::int32_t rate, std::uint8_t flags,
             std::chrono::nanoseconds& playing) {
    std::vector<std::uint8_t> transfer = EncodeFrame(points, rate, flags);
    int moved = 0;
    const auto timeout = std::chrono::milliseconds(100 + transfer.size() / 256);
    if (int error = link_->Bulk(kFrameOut, transfer, moved, timeout))
      return Fail(error);
    last_ = points.back();
    lastRate_ = rate;
    playing = PlayTime(points.size(), rate);
    return true;
  }

  // Polls until the DAC has room for a frame. False when the run must end
  // (a failure, an Interrupt, or a stop when `honourStop`).
  bool AwaitFreeSlot(bool honourStop, std::chrono::nanoseconds playing) {
    // Two buffered frames may have to play out before there is room.
    const auto limit = Clock::now() + timing_.StallLimit + 2 * playing;
    while (true) {
      const SlotState state = PollSlot();
      if (state != SlotState::Busy)
        return state == SlotState::Free;
      if (Clock::now() > limit) {
        std::lock_guard lock(mutex_);
        failure_ = name_ + " stopped taking frames for " + DurationText(timing_.StallLimit) + ".";
        stalled_ = true;
        changed_.notify_all();
        return false;
      }
      std::unique_lock lock(mutex_);
      if (changed_.wait_for(lock, std::chrono::milliseconds(1),
                            [&] { return interrupted_ || (honourStop && stop_); }))
        return false;
    }
  }

  enum class SlotState { Free, Busy, Failed };
  SlotState PollSlot() {
    std::array<std::uint8_t, 32> reply{};
    if (int error = Control(*link_, kStatus, 0, &reply)) {
      Fail(error);
      return SlotState::Failed;
    }
    return reply[0] == (kStatus | kReplyFlag) && reply[1] == 1 ? SlotState::Free : SlotState::Busy;
  }

  // True when the DAC has room for a frame within `limit`; nothing is
  // recorded when it has not.
  bool FreeWithin(std::chrono::nanoseconds limit) {
    const auto until = Clock::now() + limit;
    while (true) {
      const SlotState state = PollSlot();
      if (state != SlotState::Busy)
        return state == SlotState::Free;
      if (Clock::now() > until)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  bool Fail(int error) {
    std::lock_guard lock(mutex_);
    unplugged_ = unplugged_ || error == LIBUSB_ERROR_NO_DEVICE;
    failure_ = DeviceFailure(name_, error);
    changed_.notify_all();
    return false;
  }

  // The failure once; the caller holds the lock or the feeder has ended.
  DacFailure TakeFailure() {
    if (!failure_ || failureTold_)
      return std::nullopt;
    failureTold_ = true;
    return failure_;
  }

  void StopFeeding() {
    if (!feeder_.joinable())
      return;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      changed_.notify_all();
    }
    feeder_.join();
  }

  // End of the run: a dark frame at once in place of whatever plays, then
  // the DAC stopped and the shutter closed. A run cut short, or a DAC that
  // already stopped taking frames, gets little time to make room for the
  // dark frame: the stop and the shutter darken it anyway.
  DacFailure BlankAndStop() {
    bool hurry = false;
    {
      std::lock_guard lock(mutex_);
      hurry = interrupted_ || stalled_;
    }
    const auto limit = hurry ? std::chrono::nanoseconds(kCutShortWait)
                             : std::chrono::nanoseconds(timing_.StallLimit) + 2 * playing_;
    const bool roomForBlank = FreeWithin(limit);
    if (unplugged_ || (roomForBlank && !WriteBlank(kStartImmediately, playing_)))
      return TakeFailure();
    int error = Control(*link_, kStop, 0, nullptr);
    if (error == 0)
      error = Control(*link_, kShutter, 0, nullptr);
    if (error != 0)
      return name_ +
             ": the beam could not be blanked at the end of the run: " + UsbErrorText(error) + ".";
    return TakeFailure();
  }

  std::shared_ptr<UsbBus> bus_;
  DacInfo dac_;
  const std::string name_;  // the DAC's name, safe to show
  HeliosTiming timing_;
  std::unique_ptr<UsbLink> link_;
  std::thread feeder_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<engine::LaserPoint> pending_;  // guarded by mutex_, like the four below
  std::int32_t pendingRate_ = 0;
  bool hasPending_ = false;
  bool stop_ = false;
  bool interrupted_ = false;
  bool stalled_ = false;  // it stopped taking frames
  DacFailure failure_;
  bool failureTold_ = false;
  bool unplugged_ = false;

  // The feeder's own, and the closing thread's once the feeder has ended.
  engine::LaserPoint last_{2048, 2048, 0, 0, 0, 0};
  std::int32_t lastRate_ = 15000;
  std::chrono::nanoseconds playing_{0};  // playing time of the part written last
  std::atomic<Clock::duration> lastBlank_{Clock::duration::zero()};
};

}  // namespace

std::vector<std::size_t> HeliosPartSizes(std::size_t points) {
  const std::size_t parts = (points + kHeliosMaxPoints - 1) / kHeliosMaxPoints;
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < parts; ++i)
    sizes.push_back(points / parts + (i < points % parts ? 1 : 0));
  // A part the firmware would ignore lends a point to the next; the last
  // part is padded when written instead. No part exceeds 4096: a
  // mishandled size is at most 4077.
  for (std::size_t i = 0; i + 1 < sizes.size(); ++i) {
    if (FirmwareMishandles(sizes[i])) {
      --sizes[i];
      ++sizes[i + 1];
    }
  }
  return sizes;
}

HeliosFamily::HeliosFamily(std::shared_ptr<UsbBus> bus, HeliosTiming timing)
    : bus_(std::move(bus)), timing_(timing) {}

HeliosFamily::~HeliosFamily() {
  watch_.reset();  // no news after this
}

void HeliosFamily::WatchChanges(std::function<void()> changed) {
  watch_ = bus_->WatchPlugging(kHeliosVendor, kHeliosProduct, [this, changed] {
    lookNeeded_ = true;
    changed();
  });
}

void HeliosFamily::Scan() {
  lookNeeded_ = true;
}

void HeliosFamily::Look() {
  std::map<std::string, DacInfo> found;
  for (const std::string& place : bus_->Find(kHeliosVendor, kHeliosProduct)) {
    // A device already named keeps its name: it may be playing for us now.
    if (auto known = byPlace_.find(place);
        known != byPlace_.end() && known->second.State == DeviceState::Idle) {
      found.emplace(place, known->second);
      continue;
    }
    DacInfo dac{"", "", "Helios", place, DeviceState::Idle, {}};
    UsbOpenResult opened = bus_->Open(place, kInterface, kAltSetting);
    std::string name = opened.Link ? ReadName(*opened.Link) : std::string();
    if (!opened.Link)
      dac.State = opened.Error == LIBUSB_ERROR_BUSY ? DeviceState::BusyWithAnotherProgram
                                                    : DeviceState::Unreachable;
    if (name.empty())
      name = "at USB " + place;
    dac.Name = name.rfind("Helios", 0) == 0 ? name : "Helios " + name;
    dac.ShortName = name.rfind("Helios ", 0) == 0 ? name.substr(7) : name;
    found.emplace(place, dac);
    if (found.size() >= kMaxUnitsPerFamily)
      break;
  }
  byPlace_ = std::move(found);
}

std::vector<DacInfo> HeliosFamily::Devices() {
  if (lookNeeded_.exchange(false))
    Look();
  std::vector<DacInfo> devices;
  for (const auto& [place, dac] : byPlace_) {
    devices.push_back(dac);
    const bool twin = std::count_if(byPlace_.begin(), byPlace_.end(), [&](const auto& other) {
                        return other.second.Name == dac.Name;
                      }) > 1;
    if (twin) {
      devices.back().Name += " (USB " + place + ")";
      devices.back().ShortName += " " + place;
    }
  }
  return devices;
}

std::unique_ptr<DacDriver> HeliosFamily::MakeDriver(const DacInfo& dac) {
  return MakeHeliosDriver(bus_, dac, timing_);
}

std::unique_ptr<DacDriver> MakeHeliosDriver(std::shared_ptr<UsbBus> bus, const DacInfo& dac,
                                            HeliosTiming timing) {
  return std::make_unique<HeliosDriver>(std::move(bus), dac, timing);
}

}  // namespace whorlgen::output
