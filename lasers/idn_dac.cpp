#include "lasers/idn_dac.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>
#include <thread>
#include <utility>

#include "engine/shown_text.h"
#include "lasers/etherdream_family.h"
#include "lasers/point_stream.h"
#include "lasers/scan_addresses.h"
#include "lasers/wake_signal.h"
#include "lasers/wire_point.h"

namespace whorlgen::lasers {

using output::DacDriver;
using output::DacFailure;
using output::DacInfo;
using output::DeviceState;
using output::kMaxUnitsPerFamily;
namespace {

using Clock = std::chrono::steady_clock;

// Packet commands of the hello layer.
constexpr std::uint8_t kScanRequest = 0x10;
constexpr std::uint8_t kScanResponse = 0x11;
constexpr std::uint8_t kServiceMapRequest = 0x12;
constexpr std::uint8_t kServiceMapResponse = 0x13;
constexpr std::uint8_t kChannelMessage = 0x40;
constexpr std::uint8_t kChannelMessageAckRequest = 0x41;
constexpr std::uint8_t kChannelClose = 0x44;
constexpr std::uint8_t kAcknowledge = 0x47;

constexpr std::uint8_t kStatusOccupied = 0x10;  // every session of the unit is taken
constexpr std::uint8_t kLaserProjectorService = 0x80;

// The channel message: the top bit of CNL is always set, 0x40 says a
// channel configuration comes first, the low six bits are the channel.
constexpr std::uint8_t kCnlAlways = 0x80;
constexpr std::uint8_t kCnlConfiguration = 0x40;
constexpr std::uint8_t kChannel = 0;
constexpr std::uint8_t kWaveSamples = 0x01;
constexpr std::uint8_t kRouting = 0x01;  // connect the channel to the service
constexpr std::uint8_t kClose = 0x02;
constexpr std::uint8_t kContinuousGraphic = 0x01;

// The sample layout: X and Y signed 16-bit, then red (638 nm), green
// (532 nm) and blue (460 nm) as bytes, and a void word to end on 32 bits.
constexpr std::array<std::uint16_t, 8> kXyrgbDescriptors = {0x4200, 0x4010, 0x4210, 0x4010,
                                                            0x527E, 0x5214, 0x51CC, 0x0000};
constexpr std::size_t kSampleBytes = 7;
// Messages stay within one Ethernet frame (far below the 0xFF00 limit).
static_assert(kIdnMaxSamplesPerMessage * 7 + 64 < 1500);
constexpr std::size_t kReceiveBytes = 1500;

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}
void PutU24(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 16));
  PutU16(out, static_cast<std::uint16_t>(value));
}
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  PutU16(out, static_cast<std::uint16_t>(value >> 16));
  PutU16(out, static_cast<std::uint16_t>(value));
}

std::vector<std::uint8_t> PacketHeader(std::uint8_t command, std::uint16_t sequence) {
  std::vector<std::uint8_t> out{command, 0};
  PutU16(out, sequence);
  return out;
}

// A UDP socket, closed when it goes.
class UdpSocket {
 public:
  UdpSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~UdpSocket() {
    if (fd_ >= 0)
      close(fd_);
  }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  int Fd() const { return fd_; }
  // 0, or the errno of the failure.
  int Connect(const sockaddr_in& to) {
    return connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 ? 0 : errno;
  }
  int Send(const std::vector<std::uint8_t>& packet) {
    return send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL) >= 0 ? 0 : errno;
  }
  int SendTo(const std::vector<std::uint8_t>& packet, const sockaddr_in& to) {
    return sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) >= 0
               ? 0
               : errno;
  }
  // One datagram, waiting at most `wait`; an empty packet when none came.
  // `error` gets the errno of a failure (a refusal reported by the network).
  // A raised `wake` ends the wait at once.
  std::vector<std::uint8_t> Receive(std::chrono::milliseconds wait, sockaddr_in* from, int& error,
                                    const WakeSignal* wake = nullptr) {
    error = 0;
    if (PollOrWake(fd_, POLLIN, static_cast<int>(wait.count()), wake) == 0)
      return {};
    std::vector<std::uint8_t> packet(kReceiveBytes);
    sockaddr_in sender{};
    socklen_t senderSize = sizeof sender;
    const ssize_t got = recvfrom(fd_, packet.data(), packet.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&sender), &senderSize);
    if (got < 0) {
      error = errno == EAGAIN ? 0 : errno;
      return {};
    }
    packet.resize(static_cast<std::size_t>(got));
    if (from)
      *from = sender;
    return packet;
  }

 private:
  int fd_;
};

// The host name of a scan response; empty when the packet is not one.
std::optional<std::pair<std::string, std::uint8_t>> ParseScanResponse(
    const std::vector<std::uint8_t>& packet) {
  constexpr std::size_t kNameAt = 4 + 20;
  if (packet.size() < kNameAt + 20 || packet[0] != kScanResponse)
    return std::nullopt;
  std::string name;
  for (std::size_t i = kNameAt; i < kNameAt + 20 && packet[i] != 0; ++i)
    name.push_back(static_cast<char>(packet[i]));
  return std::make_pair(name, packet[4 + 2]);
}

// The first laser projector service of a service map response.
std::optional<std::uint8_t> ParseLaserService(const std::vector<std::uint8_t>& packet) {
  if (packet.size() < 8 || packet[0] != kServiceMapResponse)
    return std::nullopt;
  const std::size_t structSize = packet[4];
  const std::size_t entrySize = packet[5];
  const std::size_t entries = packet[6] + packet[7];  // relays first, then services
  for (std::size_t i = packet[6]; i < entries && entrySize >= 2; ++i) {
    const std::size_t at = 4 + structSize + i * entrySize;
    if (at + entrySize > packet.size())
      break;
    if (packet[at + 1] == kLaserProjectorService)
      return packet[at];
  }
  return std::nullopt;
}

// A channel message of wave samples, all at one rate.
std::vector<std::uint8_t> SamplesMessage(std::uint16_t sequence, bool withConfig,
                                         std::uint8_t serviceId, std::uint32_t timestamp_us,
                                         std::span<const StreamPoint> samples,
                                         std::uint32_t duration_us) {
  const std::size_t configBytes = withConfig ? 4 + 2 * kXyrgbDescriptors.size() : 0;
  const std::size_t channelBytes = 8 + configBytes + 4 + samples.size() * kSampleBytes;
  std::vector<std::uint8_t> out =
      PacketHeader(withConfig ? kChannelMessageAckRequest : kChannelMessage, sequence);
  out.reserve(4 + channelBytes);
  PutU16(out, static_cast<std::uint16_t>(channelBytes));
  out.push_back(kCnlAlways | (withConfig ? kCnlConfiguration : 0) | kChannel);
  out.push_back(kWaveSamples);
  PutU32(out, timestamp_us);
  if (withConfig) {
    out.insert(out.end(), {static_cast<std::uint8_t>(kXyrgbDescriptors.size() / 2), kRouting,
                           serviceId, kContinuousGraphic});
    for (const std::uint16_t descriptor : kXyrgbDescriptors)
      PutU16(out, descriptor);
  }
  out.push_back(0);  // chunk flags: matches the configuration's (zero) data match
  PutU24(out, duration_us);
  for (const StreamPoint& sample : samples) {
    PutU16(out, static_cast<std::uint16_t>(WireCoordinate(sample.Point.X)));
    PutU16(out, static_cast<std::uint16_t>(WireCoordinate(sample.Point.Y)));
    out.insert(out.end(), {sample.Point.R, sample.Point.G, sample.Point.B});
  }
  return out;
}

// Ends the channel: the unit lets go of the service for the next client.
std::vector<std::uint8_t> CloseMessage(std::uint16_t sequence, std::uint8_t serviceId,
                                       std::uint32_t timestamp_us) {
  std::vector<std::uint8_t> out = PacketHeader(kChannelClose, sequence);
  PutU16(out, 8 + 4);
  out.push_back(kCnlAlways | kCnlConfiguration | kChannel);
  out.push_back(0);  // no chunk
  PutU32(out, timestamp_us);
  out.insert(out.end(), {0, kClose, serviceId, 0});
  return out;
}

std::string NetworkFailure(const std::string& name, const sockaddr_in& at, int error,
                           bool streaming = false) {
  const std::string who = NameWithAddress(name, at);
  if (error == ECONNREFUSED && streaming)
    return who + " is gone: nothing listens there any more.";
  if (error == ECONNREFUSED)
    return who + " refused the stream: nothing listens there.";
  return who + ": " + std::strerror(error) + ".";
}

// Open receiver firmware drops wave chunks shorter than this: too few
// samples to schedule.
constexpr double kLeastChunk_us = 200.0;
// Dark padding starts when the unit holds less than this share of the lead,
// and brings it a little above that, so a late frame does not queue behind
// much dark.
constexpr double kLowShareOfLead = 0.5;
constexpr double kPadAbove_us = 5000.0;
// A run cut short still gets this much dark where the beam is before the
// channel closes.
constexpr double kShortLeadOut_us = 10000.0;

std::size_t LeastSamples(double pointsPerSec) {
  return std::max<std::size_t>(
      1, static_cast<std::size_t>(std::ceil(kLeastChunk_us * pointsPerSec / 1e6)));
}

}  // namespace

std::size_t IdnChunkSamples(std::span<const StreamPoint> pending, bool runMayGoOn,
                            std::size_t wanted) {
  if (pending.empty())
    return 0;
  const std::int32_t rate = pending[0].PointsPerSec;
  std::size_t run = 1;
  while (run < pending.size() && pending[run].PointsPerSec == rate)
    ++run;
  const std::size_t least = LeastSamples(rate);
  std::size_t size = std::min(std::max(wanted, least), kIdnMaxSamplesPerMessage);
  const bool runEnds = run < pending.size() || !runMayGoOn;
  if (runEnds) {
    if (run <= size)
      return run;
    if (run - size < least)
      size = run >= 2 * least ? run - least : run;
    return size;
  }
  // More of this run may follow: keep at least 200 us of it back, so its
  // last chunk is never a short one.
  if (run < size + least)
    return run >= 2 * least ? run - least : 0;
  return size;
}

namespace {

class IdnDriver : public PointStreamDevice {
 public:
  IdnDriver(DacInfo dac, IdnTiming timing, std::shared_ptr<IdnFamily::Playing> playing)
      : PointStreamDevice(engine::ShownText(dac.Name, 64)),
        dac_(std::move(dac)),
        name_(engine::ShownText(dac_.Name, 64)),
        timing_(timing),
        playing_(std::move(playing)) {}
  ~IdnDriver() override {
    StopFeeding();
    MarkPlaying(false);
  }

  DacFailure OpenDac(engine::GeneratorState&) override {
    const auto address = ParseHostPort(dac_.Address, kIdnPort);
    if (!address)
      return name_ + ": \"" + engine::ShownText(dac_.Address, 64) + "\" is not an IPv4 address.";
    address_ = *address;
    if (int error = socket_.Connect(address_))
      return NetworkFailure(name_, address_, error);
    if (auto failure = CheckUnitFree())
      return failure;
    if (auto failure = FindLaserService())
      return failure;
    SetStreaming(true);
    feeder_ = std::thread([this] {
      Feed();
      std::lock_guard lock(mutex_);
      feederDone_ = true;
      stopped_.notify_all();
    });
    MarkPlaying(true);
    return std::nullopt;
  }

  DacFailure CloseDac() override {
    if (!Streaming())
      return std::nullopt;
    // A short dark stretch where the beam last was, then the channel closed;
    // a stream that never began has nothing to darken.
    const std::int32_t rate = Stream().CurrentPointsPerSec();
    if (rate == 0)
      StopFeeding();
    Stream().Close(static_cast<std::size_t>(rate / 50));
    {
      // The feeder sends what is left, lets it play and closes the channel;
      // cut short, it closes after a short dark stretch.
      std::unique_lock lock(mutex_);
      stopped_.wait_for(lock, std::chrono::seconds(3) + timing_.Lead, [&] { return feederDone_; });
    }
    StopFeeding();
    if (!closeSent_)
      socket_.Send(CloseMessage(sequence_++, serviceId_, static_cast<std::uint32_t>(sent_us_)));
    DacFailure failure = TellOnce(Stream().Failure());
    SetStreaming(false);
    MarkPlaying(false);
    return failure;
  }

  std::string StatusNote() const override {
    std::string note = blanking_ ? "waiting for frames: blanked" : "";
    if (const int stalls = stalls_; stalls > 0)
      note += std::string(note.empty() ? "" : "; ") + "this computer fell behind " +
              std::to_string(stalls) + (stalls == 1 ? " time" : " times") + ": the unit ran dry";
    return note;
  }

  void Interrupt() override {
    wake_.Raise();
    Stream().Interrupt();
  }

 private:
  void MarkPlaying(bool playing) {
    if (!playing_)
      return;
    std::lock_guard lock(playing_->Mutex);
    if (playing)
      playing_->Addresses.insert(dac_.Address);
    else
      playing_->Addresses.erase(dac_.Address);
  }

  // Waits for one packet with `command`; other packets are passed over.
  // Interrupt ends the wait at once.
  std::optional<std::vector<std::uint8_t>> Await(std::uint8_t command, int& error) {
    const auto until = Clock::now() + timing_.AnswerWait;
    while (Clock::now() < until && !wake_.Raised()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
      std::vector<std::uint8_t> packet = socket_.Receive(left, nullptr, error, &wake_);
      if (error != 0)
        return std::nullopt;
      if (!packet.empty() && packet[0] == command)
        return packet;
    }
    return std::nullopt;
  }

  DacFailure Ask(std::uint8_t request, std::uint8_t answer, std::vector<std::uint8_t>& reply) {
    int error = socket_.Send(PacketHeader(request, sequence_++));
    std::optional<std::vector<std::uint8_t>> got;
    if (error == 0)
      got = Await(answer, error);
    if (error != 0)
      return NetworkFailure(name_, address_, error);
    if (!got && wake_.Raised())
      return name_ + ": the run ended before the unit answered.";
    if (!got)
      return name_ + " did not answer at " + AddressText(address_) +
             " (unreachable: is it on, and is UDP port 7255 let through?).";
    reply = std::move(*got);
    return std::nullopt;
  }

  DacFailure CheckUnitFree() {
    std::vector<std::uint8_t> reply;
    if (auto failure = Ask(kScanRequest, kScanResponse, reply))
      return failure;
    const auto unit = ParseScanResponse(reply);
    if (unit && (unit->second & kStatusOccupied) != 0)
      return name_ + " is busy with another computer.";
    return std::nullopt;
  }

  DacFailure FindLaserService() {
    std::vector<std::uint8_t> reply;
    if (auto failure = Ask(kServiceMapRequest, kServiceMapResponse, reply))
      return failure;
    const auto service = ParseLaserService(reply);
    if (!service)
      return name_ + " offers no laser projector.";
    serviceId_ = *service;
    return std::nullopt;
  }

  // ---- The feeder thread ----

  // Sends the points as they fall due, Lead ahead of the playing beam, and
  // watches the unit's acknowledgements.
  void Feed() {
    while (!Stream().Started()) {
      if (Pause())
        return;
    }
    start_ = Clock::now();
    while (true) {
      if (!WatchAnswers())
        return;
      if (Stream().Interrupted() && !cutShort_) {
        // Cut short: what was not yet sent never plays; a short dark
        // stretch where the beam is, then the close.
        cutShort_ = true;
        pending_.clear();
        leadOutEnd_us_ = std::max(sent_us_, ElapsedUs()) + kShortLeadOut_us;
      }
      const double now_us = ElapsedUs();
      // The lead-out has played: close while the unit still holds dark points.
      if (leadOutEnd_us_ >= 0.0 && now_us >= leadOutEnd_us_)
        return SendClose();
      if (sent_us_ < now_us) {
        // This thread was held up past all the unit held, which ran dry
        // meanwhile: the stream goes on from now instead of sending samples
        // whose time has passed.
        if (sent_us_ > 0.0)
          ++stalls_;
        sent_us_ = now_us;
      }
      if (!Fill(now_us + static_cast<double>(timing_.Lead.count()) * 1000.0))
        return;
      if (Pause())
        return;
    }
  }

  // Sends chunks until the stream time sent reaches `due_us`, or until no
  // frame points are ready while the unit still holds enough: frames then
  // follow each other back to back, and dark padding fills in only when the
  // unit would otherwise run low.
  bool Fill(double due_us) {
    while (sent_us_ < due_us) {
      if (leadOutEnd_us_ >= 0.0) {
        if (!SendDark(due_us - sent_us_))
          return false;
        continue;
      }
      const double rate = PendingRate();
      const auto wanted = std::max<std::size_t>(
          1, static_cast<std::size_t>(std::ceil((due_us - sent_us_) * rate / 1e6)));
      const double ahead_us = sent_us_ - ElapsedUs();
      const double low_us = kLowShareOfLead * static_cast<double>(timing_.Lead.count()) * 1000.0;
      std::size_t padTo = 0;
      if (ahead_us < low_us)
        padTo =
            static_cast<std::size_t>(std::ceil((low_us + kPadAbove_us - ahead_us) * rate / 1e6));
      TopUpPending(wanted + LeastSamples(rate), padTo);
      const std::size_t size = IdnChunkSamples(pending_, !Stream().Finished(), wanted);
      if (size == 0) {
        if (!Stream().Finished() || !pending_.empty())
          return true;  // the unit holds enough: wait for the next frame
        // Everything is out: dark points where the beam is until the close,
        // so the unit neither runs dry nor stops on a lit point.
        leadOutEnd_us_ = sent_us_;
        continue;
      }
      if (!SendChunk(size))
        return false;
    }
    return true;
  }

  double PendingRate() const {
    if (!pending_.empty())
      return std::max(pending_.front().PointsPerSec, 1);
    const std::int32_t current = Stream().CurrentPointsPerSec();
    return current > 0 ? current : std::max(lastSample_.PointsPerSec, 1);
  }

  // Pulls until `wanted` points are pending, padding with dark up to
  // `padTo` when fewer frame points are ready.
  void TopUpPending(std::size_t wanted, std::size_t padTo) {
    const std::size_t total = std::max(wanted, padTo);
    if (pending_.size() >= total)
      return;
    const std::size_t minimum = padTo > pending_.size() ? padTo - pending_.size() : 0;
    if (minimum > 0)
      blanking_ = Stream().ReadyPoints() < minimum;
    pulled_.resize(total - pending_.size());
    const std::size_t got = Stream().Pull(pulled_, minimum);
    if (got > 0 && minimum == 0)
      blanking_ = false;
    pending_.insert(pending_.end(), pulled_.begin(),
                    pulled_.begin() + static_cast<std::ptrdiff_t>(got));
  }

  // The first `size` pending points in one message. A run of one rate
  // shorter than 200 us (a tiny frame at a new rate) is made up to it with
  // dark samples where it ends.
  bool SendChunk(std::size_t size) {
    chunk_.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
    const std::size_t least = LeastSamples(chunk_[0].PointsPerSec);
    if (chunk_.size() < least)
      chunk_.resize(least, Dark(chunk_.back()));
    return SendMessage(chunk_);
  }

  // Dark samples where the beam is, for about `span_us`.
  bool SendDark(double span_us) {
    const double rate = std::max(lastSample_.PointsPerSec, 1);
    const auto count = std::min(
        std::max(static_cast<std::size_t>(std::ceil(span_us * rate / 1e6)), LeastSamples(rate)),
        kIdnMaxSamplesPerMessage);
    chunk_.assign(count, Dark(lastSample_));
    return SendMessage(chunk_);
  }

  static StreamPoint Dark(StreamPoint point) {
    point.Point.R = point.Point.G = point.Point.B = point.Point.I = 0;
    point.FrameStart = point.RateChange = false;
    return point;
  }

  // One message of samples of one rate.
  bool SendMessage(std::span<const StreamPoint> samples) {
    const double rate = std::max(samples[0].PointsPerSec, 1);
    const double end_us = sent_us_ + static_cast<double>(samples.size()) * 1e6 / rate;
    const auto start_us = static_cast<std::uint32_t>(std::llround(sent_us_));
    const auto duration_us = static_cast<std::uint32_t>(std::llround(end_us) - start_us);
    const auto now = Clock::now();
    const bool withConfig = now - lastConfig_ >= timing_.ConfigEvery;
    if (withConfig) {
      lastConfig_ = now;
      if (firstAckRequest_ == Clock::time_point{})
        firstAckRequest_ = now;
    }
    const auto message =
        SamplesMessage(sequence_++, withConfig, serviceId_, start_us, samples, duration_us);
    if (int error = socket_.Send(message)) {
      Stream().Fail(NetworkFailure(name_, address_, error, true));
      return false;
    }
    // The unit plays the stream's time from the first message on, so a
    // sample's stream time is when it plays.
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if (samples[i].FrameStart)
        Stream().FrameStartPlaysAt(
            start_ +
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::micro>(
                sent_us_ + static_cast<double>(i) * 1e6 / rate)));
    }
    sent_us_ = end_us;
    lastSample_ = samples.back();
    return true;
  }

  // Reads the acknowledgements that came in. False when the run must end.
  // The silence is measured from the first request for one, so a unit that
  // never acknowledges is found out as surely as one that falls silent.
  bool WatchAnswers() {
    while (true) {
      int error = 0;
      const std::vector<std::uint8_t> packet =
          socket_.Receive(std::chrono::milliseconds(0), nullptr, error);
      if (error != 0) {
        Stream().Fail(NetworkFailure(name_, address_, error, true));
        return false;
      }
      if (packet.empty())
        break;
      if (packet[0] != kAcknowledge || packet.size() < 6)
        continue;
      const std::uint8_t result = packet[5];
      if (result == 0xEC || result == 0xED) {  // all sessions taken; this client excluded
        Stream().Fail(name_ + " is busy with another computer.");
        return false;
      }
      if (result != 0) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02x", result);
        Stream().Fail(name_ + " rejected the stream (code " + code + ").");
        return false;
      }
      acknowledged_ = true;
      lastAnswer_ = Clock::now();
    }
    if (firstAckRequest_ == Clock::time_point{})
      return true;
    const auto silentSince = acknowledged_ ? lastAnswer_ : firstAckRequest_;
    if (Clock::now() - silentSince <= timing_.SilenceLimit)
      return true;
    const std::string limit = std::to_string(timing_.SilenceLimit.count()) + " ms";
    Stream().Fail(acknowledged_
                      ? name_ + " stopped answering for " + limit + ": the connection is lost."
                      : name_ + " never acknowledged the stream in " + limit +
                            ": is it an IDN projector, and does UDP port 7255 pass both ways?");
    return false;
  }

  void SendClose() {
    socket_.Send(CloseMessage(sequence_++, serviceId_, static_cast<std::uint32_t>(sent_us_)));
    closeSent_ = true;
  }

  double ElapsedUs() const {
    return std::chrono::duration<double, std::micro>(Clock::now() - start_).count();
  }

  // A short sleep; true once the driver is being torn down.
  bool Pause() {
    std::unique_lock lock(mutex_);
    return stopped_.wait_for(lock, std::chrono::milliseconds(10), [&] { return stop_; });
  }

  void StopFeeding() {
    if (!feeder_.joinable())
      return;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    stopped_.notify_all();
    feeder_.join();
  }

  DacInfo dac_;
  const std::string name_;  // the unit's name, safe to show
  IdnTiming timing_;
  std::shared_ptr<IdnFamily::Playing> playing_;
  UdpSocket socket_;
  sockaddr_in address_{};
  std::uint8_t serviceId_ = 0;
  std::uint16_t sequence_ = 0;  // the feeder's alone once it runs
  WakeSignal wake_;
  std::thread feeder_;

  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  bool feederDone_ = false;

  // The feeder's.
  Clock::time_point start_;
  Clock::time_point lastConfig_;
  Clock::time_point firstAckRequest_{};
  Clock::time_point lastAnswer_;
  double sent_us_ = 0.0;         // stream time sent so far
  double leadOutEnd_us_ = -1.0;  // stream time at the end of the lead-out, once sent
  bool cutShort_ = false;
  std::vector<StreamPoint> pending_;  // pulled, not yet sent
  std::vector<StreamPoint> pulled_;
  std::vector<StreamPoint> chunk_;
  StreamPoint lastSample_{engine::LaserPoint{2048, 2048, 0, 0, 0, 0}, 1000, false, false};
  bool acknowledged_ = false;
  bool closeSent_ = false;
  std::atomic<bool> blanking_ = false;
  std::atomic<int> stalls_ = 0;
};

}  // namespace

IdnFamily::IdnFamily(std::uint16_t port, IdnTiming timing) : port_(port), timing_(timing) {}

void IdnFamily::Scan() {
  scanned_ = true;
  units_.clear();
  UdpSocket socket;
  const int yes = 1;
  setsockopt(socket.Fd(), SOL_SOCKET, SO_BROADCAST, &yes, sizeof yes);
  std::vector<sockaddr_in> targets;
  for (const in_addr& address : ScanAddresses()) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = address;
    to.sin_port = htons(port_);
    targets.push_back(to);
  }
  const bool listed = std::getenv("WHORLGEN_SCAN_ADDRESSES") != nullptr;
  for (const std::string& added : added_) {
    const auto to = ParseHostPort(added, port_);
    const bool allowed = std::any_of(targets.begin(), targets.end(), [&](const sockaddr_in& t) {
      return t.sin_addr.s_addr == to->sin_addr.s_addr;
    });
    if (!listed || allowed)
      targets.push_back(*to);
  }
  std::uint16_t sequence = 0;
  for (const sockaddr_in& to : targets)
    socket.SendTo(PacketHeader(kScanRequest, sequence++), to);
  const auto until = Clock::now() + timing_.AnswerWait;
  while (Clock::now() < until) {
    sockaddr_in from{};
    int error = 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    const auto answer = ParseScanResponse(socket.Receive(left, &from, error));
    if (!answer)
      continue;
    const bool known = std::any_of(units_.begin(), units_.end(), [&](const Unit& unit) {
      return AddressText(unit.Address) == AddressText(from);
    });
    if (!known && units_.size() < kMaxUnitsPerFamily)
      units_.push_back({answer->first, from, answer->second});
  }
}

std::vector<DacInfo> IdnFamily::Devices() {
  std::vector<DacInfo> devices;
  for (const Unit& unit : units_) {
    const std::string address = AddressText(unit.Address);
    const std::string shortName = unit.HostName.empty() ? address : unit.HostName;
    const bool occupied = (unit.Status & kStatusOccupied) != 0;
    devices.push_back({"IDN " + shortName,
                       shortName,
                       "IDN",
                       address,
                       occupied ? DeviceState::BusyWithAnotherComputer : DeviceState::Idle,
                       {}});
  }
  {
    std::lock_guard lock(playing_->Mutex);
    for (DacInfo& dac : devices) {
      if (playing_->Addresses.count(dac.Address) > 0)
        dac.State = DeviceState::Playing;
    }
  }
  for (const std::string& added : added_) {
    const auto address = ParseHostPort(added, port_);
    const bool answered = std::any_of(devices.begin(), devices.end(), [&](const DacInfo& dac) {
      return dac.Address == AddressText(*address);
    });
    std::string shortName = added;
    if (const std::string port = ":" + std::to_string(port_); shortName.ends_with(port))
      shortName.resize(shortName.size() - port.size());
    if (!answered)
      devices.push_back({"IDN " + added,
                         shortName,
                         "IDN",
                         AddressText(*address),
                         scanned_ ? DeviceState::Unreachable : DeviceState::NotChecked,
                         {}});
  }
  // Two units may share a host name: the address tells them apart.
  std::vector<bool> twin(devices.size());
  for (std::size_t i = 0; i < devices.size(); ++i) {
    twin[i] = std::count_if(devices.begin(), devices.end(), [&](const DacInfo& other) {
                return other.Name == devices[i].Name;
              }) > 1;
  }
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (twin[i]) {
      devices[i].Name += " (" + devices[i].Address + ")";
      devices[i].ShortName = devices[i].Address;
    }
  }
  return devices;
}

std::unique_ptr<DacDriver> IdnFamily::MakeDriver(const DacInfo& dac) {
  return MakeIdnDriver(dac, timing_, playing_);
}

std::optional<std::string> IdnFamily::AddAddress(const std::string& text) {
  const auto address = ParseHostPort(text, port_);
  if (!address)
    return std::nullopt;
  const std::string listed = AddressText(*address);
  if (std::find(added_.begin(), added_.end(), listed) == added_.end() &&
      added_.size() < kMaxUnitsPerFamily)
    added_.push_back(listed);
  return listed;
}

void IdnFamily::RemoveAddress(const std::string& text) {
  const auto address = ParseHostPort(text, port_);
  const std::string listed = address ? AddressText(*address) : text;
  added_.erase(std::remove(added_.begin(), added_.end(), listed), added_.end());
}

std::vector<std::string> IdnFamily::AddedAddresses() const {
  return added_;
}

std::unique_ptr<DacDriver> MakeIdnDriver(const DacInfo& dac, IdnTiming timing,
                                         std::shared_ptr<IdnFamily::Playing> playing) {
  return std::make_unique<IdnDriver>(dac, timing, std::move(playing));
}

}  // namespace whorlgen::lasers
