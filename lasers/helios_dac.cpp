#include "lasers/helios_dac.h"

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

namespace whorlgen::lasers {

using output::AddFailure;
using output::DacDriver;
using output::DacFailure;
using output::DacInfo;
using output::DeviceState;
using output::FrameDevice;
using output::kMaxUnitsPerFamily;
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

// A frame device: the run's device thread waits until the DAC has room, then
// writes the frame (or its parts) itself. Beside it a guard thread watches
// the frame written last: when the program has nothing ready to follow it
// before it ends, the guard writes a short dark frame where the beam stands,
// so the DAC never repeats a lit frame while the program is late.
class HeliosDriver final : public FrameDevice {
 public:
  HeliosDriver(std::shared_ptr<UsbBus> bus, DacInfo dac, HeliosTiming timing)
      : bus_(std::move(bus)),
        dac_(std::move(dac)),
        name_(engine::ShownText(dac_.Name, 64)),
        timing_(timing) {}
  ~HeliosDriver() override { StopGuard(); }

  DacFailure OpenDac(engine::GeneratorState&) override {
    UsbOpenResult opened = bus_->Open(dac_.Address, kInterface, kAltSetting);
    if (!opened.Link)
      return DeviceFailure(name_, opened.Error);
    if (int error = Control(*opened.Link, kShutter, 1, nullptr))
      return DeviceFailure(name_, error);
    link_ = std::move(opened.Link);
    guard_ = std::thread([this] { GuardGaps(); });
    return std::nullopt;
  }

  DacFailure CloseDac() override {
    StopGuard();
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

  // The waits give up; no frame is written from now on.
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
  // The frame's parts, none of a size the firmware mishandles; nothing once
  // the DAC is not open or its failure has been told.
  std::size_t BlockAt(std::size_t first, std::size_t total) const override {
    {
      std::lock_guard lock(mutex_);
      if (!link_ || (failure_ && failureTold_))
        return 0;
    }
    std::size_t start = 0;
    for (const std::size_t count : HeliosPartSizes(total)) {
      if (start == first)
        return count;
      start += count;
    }
    return 0;
  }

  // Room for a part once the one written before has begun to play.
  DacFailure WaitReady(std::size_t, std::int32_t) override {
    {
      std::lock_guard lock(mutex_);
      if (failure_ || interrupted_)
        return NotReady();
      sending_ = true;
    }
    if (AwaitFreeSlot([this] { return interrupted_; }))
      return std::nullopt;
    std::lock_guard lock(mutex_);
    EndSending();
    return NotReady();
  }

  DacFailure WriteBlock(const engine::FrameData& frame, std::size_t first, std::size_t count,
                        std::int32_t pointsPerSec) override {
    const auto part = std::span(frame.FrameBuffer).subspan(first, count);
    const bool written = Write(part, std::clamp(pointsPerSec, kMinRate, kMaxRate), 0);
    std::lock_guard lock(mutex_);
    if (written)
      ++writes_;
    if (!written || first + count == frame.FrameBuffer.size())
      EndSending();
    return written ? std::nullopt : TakeFailure();
  }

 private:
  // What was written last, by either thread; guarded by linkMutex_.
  struct LastWrite {
    engine::LaserPoint Point{2048, 2048, 0, 0, 0, 0};  // where the beam ends
    std::int32_t Rate = 15000;
    std::chrono::nanoseconds Playing{0};  // how long it plays
  };

  // ---- The guard thread ----

  // Each time something was written and no frame is on its way, waits for
  // it to begin playing; if still nothing follows shortly before its end, a
  // dark frame does.
  void GuardGaps() {
    std::unique_lock lock(mutex_);
    std::uint64_t guarded = 0;
    for (;;) {
      changed_.wait(lock, [&] { return Ending() || (!sending_ && writes_ != guarded); });
      if (Ending())
        return;
      const std::uint64_t seen = writes_;
      guarded = seen;
      lock.unlock();
      const bool written = NothingFollowsInTime(seen) && WriteBlankUnlessGivingWay(seen);
      lock.lock();
      if (written) {
        ++writes_;
        lastBlank_ = Clock::now().time_since_epoch();
      }
    }
  }

  // Decided with the link held, so a frame cannot slip in between: its wait
  // for room polls only after the dark frame has gone.
  bool WriteBlankUnlessGivingWay(std::uint64_t seen) {
    std::lock_guard link(linkMutex_);
    {
      std::lock_guard lock(mutex_);
      if (GiveWay(seen))
        return false;
    }
    return WriteLocked(Blank(written_), written_.Rate, 0);
  }

  // The guard makes way for a frame on its way, or something newer written.
  bool GiveWay(std::uint64_t seen) const { return Ending() || sending_ || writes_ != seen; }
  bool Ending() const { return stop_ || interrupted_ || failure_.has_value(); }

  // True when the write `seen` began to play and nothing followed it until
  // shortly before its end.
  bool NothingFollowsInTime(std::uint64_t seen) {
    if (!AwaitFreeSlot([&] { return GiveWay(seen); }))
      return false;
    const auto playing = Written().Playing;
    const auto due = Clock::now() + playing - MarginFor(playing);
    std::unique_lock lock(mutex_);
    return !changed_.wait_until(lock, due, [&] { return GiveWay(seen); });
  }

  // ---- Both threads ----

  std::chrono::nanoseconds MarginFor(std::chrono::nanoseconds playing) const {
    return std::min<std::chrono::nanoseconds>(timing_.Margin, playing / 2);
  }

  LastWrite Written() {
    std::lock_guard lock(linkMutex_);
    return written_;
  }

  // A short dark frame where the beam last was, at the last rate.
  std::vector<engine::LaserPoint> Blank(const LastWrite& last) const {
    const double seconds = std::chrono::duration<double>(timing_.BlankLength).count();
    const auto count = static_cast<std::size_t>(std::clamp<long>(
        std::lrint(seconds * last.Rate), 16, static_cast<long>(kHeliosMaxPoints / 2)));
    return std::vector<engine::LaserPoint>(count, {last.Point.X, last.Point.Y, 0, 0, 0, 0});
  }

  bool Write(std::span<const engine::LaserPoint> points, std::int32_t rate, std::uint8_t flags) {
    std::lock_guard lock(linkMutex_);
    return WriteLocked(points, rate, flags);
  }

  // The caller holds linkMutex_.
  bool WriteLocked(std::span<const engine::LaserPoint> points, std::int32_t rate,
                   std::uint8_t flags) {
    std::vector<std::uint8_t> transfer = EncodeFrame(points, rate, flags);
    int moved = 0;
    const auto timeout = std::chrono::milliseconds(100 + transfer.size() / 256);
    if (int error = link_->Bulk(kFrameOut, transfer, moved, timeout))
      return Fail(error);
    written_ = {points.back(), rate, PlayTime(points.size(), rate)};
    return true;
  }

  // Polls until the DAC has room for a frame. False when it failed, stalled
  // or `giveUp` (read under mutex_) said so.
  template <typename GiveUp>
  bool AwaitFreeSlot(GiveUp giveUp) {
    // Two buffered frames may have to play out before there is room.
    const auto limit = Clock::now() + timing_.StallLimit + 2 * Written().Playing;
    while (true) {
      const SlotState state = PollSlot();
      if (state != SlotState::Busy)
        return state == SlotState::Free;
      std::unique_lock lock(mutex_);
      if (Clock::now() > limit) {
        failure_ = name_ + " stopped taking frames for " + DurationText(timing_.StallLimit) + ".";
        stalled_ = true;
        changed_.notify_all();
        return false;
      }
      if (changed_.wait_for(lock, std::chrono::milliseconds(1), giveUp))
        return false;
    }
  }

  enum class SlotState { Free, Busy, Failed };
  SlotState PollSlot() {
    std::array<std::uint8_t, 32> reply{};
    std::unique_lock lock(linkMutex_);
    if (int error = Control(*link_, kStatus, 0, &reply)) {
      lock.unlock();
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
    if (!failure_)
      failure_ = DeviceFailure(name_, error);
    changed_.notify_all();
    return false;
  }

  // The caller holds mutex_.
  void EndSending() {
    sending_ = false;
    changed_.notify_all();
  }

  // The failure once; the caller holds mutex_ or the guard has ended.
  DacFailure TakeFailure() {
    if (!failure_ || failureTold_)
      return std::nullopt;
    failureTold_ = true;
    return failure_;
  }

  // Why a part cannot be written: the failure, told once, or the end of the
  // run (which the run does not report). The caller holds mutex_.
  DacFailure NotReady() {
    if (DacFailure failure = TakeFailure())
      return failure;
    return name_ + ": the run ended before it had room for the frame.";
  }

  void StopGuard() {
    if (!guard_.joinable())
      return;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      changed_.notify_all();
    }
    guard_.join();
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
    const LastWrite last = Written();
    const auto limit = hurry ? std::chrono::nanoseconds(kCutShortWait)
                             : std::chrono::nanoseconds(timing_.StallLimit) + 2 * last.Playing;
    const bool roomForBlank = FreeWithin(limit);
    if (unplugged_ || (roomForBlank && !Write(Blank(last), last.Rate, kStartImmediately))) {
      std::lock_guard lock(mutex_);
      return TakeFailure();
    }
    int error = Control(*link_, kStop, 0, nullptr);
    if (error == 0)
      error = Control(*link_, kShutter, 0, nullptr);
    if (error != 0)
      return name_ +
             ": the beam could not be blanked at the end of the run: " + UsbErrorText(error) + ".";
    std::lock_guard lock(mutex_);
    return TakeFailure();
  }

  std::shared_ptr<UsbBus> bus_;
  DacInfo dac_;
  const std::string name_;  // the DAC's name, safe to show
  HeliosTiming timing_;
  std::unique_ptr<UsbLink> link_;  // set and reset on the device thread, with the guard stopped
  std::mutex linkMutex_;           // one transfer, or request and answer, at a time
  LastWrite written_;
  std::thread guard_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t writes_ = 0;  // guarded by mutex_, like the six below
  bool sending_ = false;      // a frame is on its way: from its wait to its last part
  bool stop_ = false;
  bool interrupted_ = false;
  bool stalled_ = false;  // it stopped taking frames
  DacFailure failure_;
  bool failureTold_ = false;
  bool unplugged_ = false;  // also read on the device thread once the guard has ended

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

}  // namespace whorlgen::lasers
