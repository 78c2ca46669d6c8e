#include "emulators/idn_emulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "emulators/emulator_support.h"

namespace whorlgen::emulators {
namespace {

using Clock = std::chrono::steady_clock;
// Playing follows the kernel's receive time of each packet (a wall-clock
// time), so the emulator's own scheduling delays never look like a sender
// that fell behind.
using WallClock = std::chrono::system_clock;

constexpr std::uint8_t kScanRequest = 0x10;
constexpr std::uint8_t kServiceMapRequest = 0x12;
constexpr std::uint8_t kMessage = 0x40;
constexpr std::uint8_t kMessageAckRequest = 0x41;
constexpr std::uint8_t kClose = 0x44;
constexpr std::uint8_t kCloseAckRequest = 0x45;
constexpr std::uint8_t kAcknowledge = 0x47;
constexpr std::uint8_t kOccupied = 0x10;
constexpr std::uint8_t kRealtime = 0x01;
constexpr std::uint8_t kAllSessionsTaken = 0xEC;
constexpr std::uint8_t kWaveSamples = 0x01;
constexpr std::size_t kSampleBytes = 7;
// A stream runs dry when its samples end this long before the play clock.
constexpr double kDryAfter_us = 3000.0;

// The one layout this unit plays: X, Y 16-bit, R, G, B 8-bit, a void word.
constexpr std::array<std::uint16_t, 8> kXyrgb = {0x4200, 0x4010, 0x4210, 0x4010,
                                                 0x527E, 0x5214, 0x51CC, 0x0000};

std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

void PutName(std::vector<std::uint8_t>& out, const std::string& name, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i)
    out.push_back(i < name.size() ? static_cast<std::uint8_t>(name[i]) : 0);
}

class IdnUnit {
 public:
  static constexpr std::array<std::string_view, 9> kOptionNames = {
      "address", "port",        "name",      "stats",     "record",
      "fault",   "fault-after", "clock-ppm", "play-times"};

  bool Configure(const Options& options);
  int Run();

 private:
  bool Open();
  void Handle(const std::vector<std::uint8_t>& packet, const sockaddr_in& from,
              WallClock::time_point arrival);
  bool ReceiveOne();
  void Answer(std::vector<std::uint8_t> packet, const sockaddr_in& to);
  void ChannelMessage(const std::vector<std::uint8_t>& packet, WallClock::time_point arrival);
  void Samples(const std::uint8_t* chunk, std::size_t bytes, WallClock::time_point arrival);
  void Advance(WallClock::time_point now);
  void WritePlayTimes(std::size_t count, std::uint32_t duration_us);
  bool FaultActive() const { return !fault_.empty() && received_ >= faultAfter_; }
  void UpdateReport();

  in_addr address_{htonl(INADDR_LOOPBACK)};
  std::uint16_t port_ = 7255;
  double clockFactor_ = 1.0;  // its crystal's speed against this machine's clock
  std::FILE* playTimes_ = nullptr;
  std::string name_ = "whorlgen-idn";
  std::string statsPath_;
  std::FILE* record_ = nullptr;
  std::string fault_;
  std::int64_t faultAfter_ = 0;
  int fd_ = -1;

  bool configured_ = false;
  bool playing_ = false;
  WallClock::time_point playStart_;
  double buffered_us_ = 0.0;  // stream time received since the stream began
  int lastSequence_ = -1;

  std::int64_t messages_ = 0;
  std::int64_t configurations_ = 0;
  std::int64_t received_ = 0;
  std::int64_t underruns_ = 0;
  double lastUnderrun_s_ = 0.0;  // stream time where the last one began
  std::int64_t sequenceGaps_ = 0;
  std::int64_t malformed_ = 0;
  std::int64_t closes_ = 0;
  std::int64_t rate_ = 0;
  Report report_;
};

bool IdnUnit::Configure(const Options& options) {
  const auto address = ListenAddress(options);
  const auto clockFactor = ClockFactor(options);
  const auto port = options.Number("port", 7255, 0, 65535);
  const auto faultAfter = options.Number("fault-after", 0, 0, kMaxCount);
  if (!address || !clockFactor || !port || !faultAfter)
    return false;
  address_ = *address;
  clockFactor_ = *clockFactor;
  port_ = static_cast<std::uint16_t>(*port);
  name_ = options.Text("name", name_).substr(0, 20);
  statsPath_ = options.Text("stats", "");
  fault_ = options.Text("fault", "");
  if (!fault_.empty() && fault_ != "busy" && fault_ != "silent" && fault_ != "no-ack") {
    std::fprintf(stderr, "unknown --fault %s\n", fault_.c_str());
    return false;
  }
  faultAfter_ = *faultAfter;
  return OpenRecord(options, record_) && OpenPlayTimes(options, playTimes_);
}

bool IdnUnit::Open() {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr = address_;
  at.sin_port = htons(port_);
  socklen_t size = sizeof at;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
    std::fprintf(stderr, "cannot listen on %s:%u: %s\n", AddressText(address_).c_str(), port_,
                 std::strerror(errno));
    return false;
  }
  port_ = ntohs(at.sin_port);
  const int yes = 1;
  setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &yes, sizeof yes);
  return true;
}

void IdnUnit::Answer(std::vector<std::uint8_t> packet, const sockaddr_in& to) {
  sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void IdnUnit::Handle(const std::vector<std::uint8_t>& packet, const sockaddr_in& from,
                     WallClock::time_point arrival) {
  if (packet.size() < 4 || (fault_ == "silent" && FaultActive()))
    return;
  const bool busy = fault_ == "busy";
  std::vector<std::uint8_t> reply{static_cast<std::uint8_t>(packet[0] + 1), 0, packet[2],
                                  packet[3]};
  switch (packet[0]) {
    case kScanRequest:
      reply.insert(reply.end(),
                   {40, 0x10, static_cast<std::uint8_t>(kRealtime | (busy ? kOccupied : 0)), 0});
      // Unit ID: length 7, category 1 (an EUI-48), then a made-up address.
      reply.insert(reply.end(), {7, 1, 0x02, 0x49, 0x44, 0x4E, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0});
      PutName(reply, name_, 20);
      return Answer(reply, from);
    case kServiceMapRequest:
      reply.insert(reply.end(), {4, 24, 0, 1, 1, 0x80, 0, 0});
      PutName(reply, "Laser 1", 20);
      return Answer(reply, from);
    case kMessage:
    case kMessageAckRequest:
    case kClose:
    case kCloseAckRequest:
      ++messages_;
      if (lastSequence_ >= 0 && GetU16(&packet[2]) != ((lastSequence_ + 1) & 0xFFFF))
        ++sequenceGaps_;
      lastSequence_ = GetU16(&packet[2]);
      if (!busy)
        ChannelMessage(packet, arrival);
      if (packet[0] == kClose || packet[0] == kCloseAckRequest) {
        ++closes_;
        playing_ = false;
        configured_ = false;
        buffered_us_ = 0.0;
        lastSequence_ = -1;
      }
      if (!(fault_ == "no-ack" && FaultActive()) &&
          (packet[0] == kMessageAckRequest || packet[0] == kCloseAckRequest)) {
        reply = {kAcknowledge,
                 0,
                 packet[2],
                 packet[3],
                 4,
                 busy ? kAllSessionsTaken : std::uint8_t{0},
                 0,
                 0};
        Answer(reply, from);
      }
      return;
    default:
      return;
  }
}

void IdnUnit::ChannelMessage(const std::vector<std::uint8_t>& packet,
                             WallClock::time_point arrival) {
  if (packet.size() < 12 || GetU16(&packet[4]) != packet.size() - 4) {
    ++malformed_;
    return;
  }
  const std::uint8_t cnl = packet[6];
  std::size_t at = 12;
  if (cnl & 0x40) {
    if (packet.size() < at + 4) {
      ++malformed_;
      return;
    }
    const std::size_t words = packet[at];
    const std::uint8_t mode = packet[at + 3];
    if (packet.size() < at + 4 + words * 4) {
      ++malformed_;
      return;
    }
    bool xyrgb = words * 2 == kXyrgb.size() && mode == 0x01;
    for (std::size_t i = 0; xyrgb && i < kXyrgb.size(); ++i)
      xyrgb = GetU16(&packet[at + 4 + 2 * i]) == kXyrgb[i];
    if (packet[7] != 0 && !xyrgb)
      ++malformed_;
    configured_ = configured_ || xyrgb;
    ++configurations_;
    at += 4 + words * 4;
  }
  if (packet[7] == kWaveSamples && configured_)
    Samples(&packet[at], packet.size() - at, arrival);
}

void IdnUnit::Samples(const std::uint8_t* chunk, std::size_t bytes, WallClock::time_point arrival) {
  if (bytes < 4 || (bytes - 4) % kSampleBytes != 0) {
    ++malformed_;
    return;
  }
  const std::uint32_t duration_us = (chunk[1] << 16) | (chunk[2] << 8) | chunk[3];
  const std::size_t count = (bytes - 4) / kSampleBytes;
  received_ += static_cast<std::int64_t>(count);
  if (duration_us > 0)
    rate_ = std::llround(static_cast<double>(count) * 1e6 / duration_us);
  if (record_) {
    const std::uint8_t head[6] = {static_cast<std::uint8_t>(count >> 8),
                                  static_cast<std::uint8_t>(count),
                                  0,
                                  chunk[1],
                                  chunk[2],
                                  chunk[3]};
    std::fwrite(head, 1, sizeof head, record_);
    std::fwrite(chunk + 4, 1, bytes - 4, record_);
  }
  Advance(arrival);
  if (!playing_) {
    // Playing starts (or starts again after running dry) with this chunk.
    playing_ = true;
    playStart_ = arrival - std::chrono::microseconds(std::llround(buffered_us_ / clockFactor_));
  }
  if (playTimes_)
    WritePlayTimes(count, duration_us);
  buffered_us_ += duration_us;
}

// When each sample of the chunk that follows what is buffered plays, on
// this machine's monotonic clock: the unit's crystal sets the pace.
void IdnUnit::WritePlayTimes(std::size_t count, std::uint32_t duration_us) {
  const auto steadyNow = Clock::now();
  const auto wallNow = WallClock::now();
  for (std::size_t i = 0; i < count; ++i) {
    const double position_us =
        buffered_us_ + static_cast<double>(duration_us) * static_cast<double>(i) / count;
    const auto at =
        playStart_ + std::chrono::duration_cast<WallClock::duration>(
                         std::chrono::duration<double, std::micro>(position_us / clockFactor_));
    WritePlayTime(playTimes_,
                  steadyNow + std::chrono::duration_cast<Clock::duration>(at - wallNow));
  }
}

void IdnUnit::Advance(WallClock::time_point now) {
  if (!playing_ || (fault_ == "silent" && FaultActive()))
    return;
  const double position_us =
      std::chrono::duration<double, std::micro>(now - playStart_).count() * clockFactor_;
  if (position_us > buffered_us_ + kDryAfter_us) {
    ++underruns_;
    lastUnderrun_s_ = buffered_us_ / 1e6;
    playing_ = false;
  }
}

void IdnUnit::UpdateReport() {
  report_.Set("device", "idn");
  report_.Set("port", port_);
  report_.Set("messages", messages_);
  report_.Set("configurations", configurations_);
  report_.Set("points_received", received_);
  report_.Set("rate", rate_);
  report_.Set("underruns", underruns_);
  report_.Set("last_underrun_at_s", std::to_string(lastUnderrun_s_));
  report_.Set("sequence_gaps", sequenceGaps_);
  report_.Set("malformed", malformed_);
  report_.Set("closes", closes_);
  report_.Set("playing", playing_ ? 1 : 0);
  report_.Set("fault", fault_.empty() ? "none" : fault_);
}

// One waiting packet, with the time the kernel received it; false when none
// is waiting.
bool IdnUnit::ReceiveOne() {
  std::vector<std::uint8_t> packet(65536);
  sockaddr_in from{};
  iovec data{packet.data(), packet.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got = recvmsg(fd_, &message, MSG_DONTWAIT);
  if (got < 0)
    return errno != EAGAIN && errno != EWOULDBLOCK;
  WallClock::time_point arrival = WallClock::now();
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec at{};
      std::memcpy(&at, CMSG_DATA(c), sizeof at);
      arrival = WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
          std::chrono::seconds(at.tv_sec) + std::chrono::nanoseconds(at.tv_nsec)));
    }
  }
  packet.resize(static_cast<std::size_t>(got));
  Handle(packet, from, arrival);
  return true;
}

int IdnUnit::Run() {
  if (!Open())
    return 1;
  const std::string at = AddressText(address_);
  std::fprintf(stderr, "IDN emulator \"%s\" on %s:%u\n", name_.c_str(), at.c_str(), port_);
  if (port_ == 7255) {
    std::fprintf(stderr,
                 "Whorlgen finds it by a scan (Devices..., Scan) when started with "
                 "WHORLGEN_SCAN_ADDRESSES=%s, or once %s is added by address "
                 "(Devices..., Network DACs, kind IDN).\n",
                 at.c_str(), at.c_str());
  } else {
    std::fprintf(stderr,
                 "A scan looks on port 7255 only: Whorlgen sees it once %s:%u is added by "
                 "address (Devices..., Network DACs, kind IDN).\n",
                 at.c_str(), port_);
  }
  auto nextReport = Clock::now();
  while (!StopRequested()) {
    const auto now = Clock::now();
    if (now >= nextReport) {
      UpdateReport();
      report_.WriteTo(statsPath_);
      if (record_)
        std::fflush(record_);
      if (playTimes_)
        std::fflush(playTimes_);
      nextReport = now + std::chrono::milliseconds(50);
    }
    pollfd watched{fd_, POLLIN, 0};
    if (poll(&watched, 1, 2) > 0) {
      while (ReceiveOne()) {
      }
    }
    // A dry stretch is real only if no packet that came before this moment
    // still waits to be taken.
    const auto judged = WallClock::now();
    pollfd waiting{fd_, POLLIN, 0};
    if (poll(&waiting, 1, 0) == 0)
      Advance(judged);
  }
  UpdateReport();
  report_.WriteTo(statsPath_);
  std::fputs(report_.Text().c_str(), stdout);
  if (record_)
    std::fclose(record_);
  if (playTimes_)
    std::fclose(playTimes_);
  close(fd_);
  return 0;
}

}  // namespace

int RunIdnEmulator(int argc, char** argv, int firstOption) {
  return RunUnit<IdnUnit>(argc, argv, firstOption);
}

}  // namespace whorlgen::emulators
