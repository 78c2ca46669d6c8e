#include "emulators/etherdream_emulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "emulators/emulator_support.h"

namespace whorlgen::emulators {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kPointBytes = 18;
constexpr std::size_t kStatusBytes = 20;
constexpr std::uint16_t kRateChangeBit = 0x8000;
constexpr std::uint16_t kUnderflowFlag = 0x0002;
constexpr std::uint16_t kEmergencyStopFlag = 0x0004;
constexpr auto kTricklePrepare = std::chrono::milliseconds(1500);
constexpr auto kDryHold = std::chrono::milliseconds(300);  // long enough to run dry
constexpr std::uint32_t kMaxPointsPerSec = 100000;
constexpr double kOwnPause_s = 0.020;  // ten times the loop's wake-up while playing

enum Playback : std::uint8_t { kIdle = 0, kPrepared = 1, kPlaying = 2 };
enum class Fault {
  None,
  Slow,
  WithholdAck,
  Drop,
  Nak,
  Busy,
  Trickle,              // claims a full buffer, runs dry after each begin, prepares slowly
  ZeroBuffer,           // claims an empty buffer and takes every point it is sent
  UnderflowEveryReply,  // runs dry (dropping what it holds) right after every command
  LateReplies,          // holds one reply back now and then, as a stalled host would wait
  DryUnflagged,         // runs dry once without setting the underflow flag
  EmergencyStop,        // goes into an emergency stop
  WrongEcho,            // echoes the wrong command byte in its replies
};

// The protocol's numbers are little-endian whatever the host.
void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}
std::uint16_t GetU16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}
std::uint32_t GetU32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::optional<Fault> ParseFault(const std::string& text) {
  if (text.empty())
    return Fault::None;
  if (text == "slow")
    return Fault::Slow;
  if (text == "withhold-ack")
    return Fault::WithholdAck;
  if (text == "drop")
    return Fault::Drop;
  if (text == "nak")
    return Fault::Nak;
  if (text == "busy")
    return Fault::Busy;
  if (text == "trickle")
    return Fault::Trickle;
  if (text == "zero-buffer")
    return Fault::ZeroBuffer;
  if (text == "underflow-every-reply")
    return Fault::UnderflowEveryReply;
  if (text == "late-replies")
    return Fault::LateReplies;
  if (text == "dry-unflagged")
    return Fault::DryUnflagged;
  if (text == "estop")
    return Fault::EmergencyStop;
  if (text == "wrong-echo")
    return Fault::WrongEcho;
  return std::nullopt;
}

std::optional<std::array<std::uint8_t, 6>> ParseMac(const std::string& text) {
  std::array<unsigned, 6> parts{};
  if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &parts[0], &parts[1], &parts[2], &parts[3],
                  &parts[4], &parts[5]) != 6)
    return std::nullopt;
  std::array<std::uint8_t, 6> mac{};
  for (std::size_t i = 0; i < 6; ++i)
    mac[i] = static_cast<std::uint8_t>(parts[i]);
  return mac;
}

struct BufferedPoint {
  std::array<std::uint8_t, kPointBytes> bytes;
  std::uint16_t control;
};

class EtherDreamUnit {
 public:
  static constexpr std::array<std::string_view, 14> kOptionNames = {
      "address",  "port",          "announce-to", "announce-port", "mac",
      "capacity", "stats",         "record",      "fault",         "fault-after",
      "late-ms",  "late-every-ms", "clock-ppm",   "play-times"};

  bool Configure(const Options& options);
  int Run();

 private:
  bool OpenSockets();
  void Accept();
  void EndConnection();
  void ReadClient();
  void HandleCommands();
  void Execute(const std::uint8_t* command, std::size_t length);
  // Carries the command out; the response byte for its reply.
  std::uint8_t Carry(const std::uint8_t* command, std::size_t length);
  void Reply(std::uint8_t response, std::uint8_t command);
  void SendHeldReply(Clock::time_point now);
  void AfterCommand();
  void AppendStatus(std::vector<std::uint8_t>& out) const;
  void Announce();
  void Advance(Clock::time_point now);
  void Play(const BufferedPoint& point, Clock::time_point at);
  void NoteRate(std::uint32_t pointsPerSec);
  bool FaultActive() const { return fault_ != Fault::None && received_ >= faultAfterPoints_; }
  bool Faulty(Fault fault) const { return fault_ == fault && FaultActive(); }
  void UpdateReport();

  // Configuration.
  in_addr address_{htonl(INADDR_LOOPBACK)};
  std::uint16_t port_ = 7765;
  double clockFactor_ = 1.0;  // its crystal's speed against this machine's clock
  std::FILE* playTimes_ = nullptr;
  std::optional<sockaddr_in> announceTo_;
  std::array<std::uint8_t, 6> mac_{0x02, 0x57, 0x47, 0x3a, 0x4f, 0x12};
  std::size_t capacity_ = 1800;
  std::string statsPath_;
  std::FILE* record_ = nullptr;
  Fault fault_ = Fault::None;
  std::string faultName_;
  std::int64_t faultAfterPoints_ = 0;
  std::chrono::milliseconds lateBy_{25};
  std::chrono::milliseconds lateEvery_{500};

  // A reply held back: sent (with the status of that moment) once due, and
  // no command is taken meanwhile, as the unit answers them in turn.
  bool holding_ = false;
  std::vector<std::uint8_t> heldReply_;
  Clock::time_point heldUntil_{};
  Clock::time_point nextLate_{};
  bool heldOnce_ = false;

  // Sockets.
  int listenFd_ = -1;
  int clientFd_ = -1;
  int announceFd_ = -1;
  std::vector<std::uint8_t> inbox_;

  // Playback.
  Playback playback_ = kIdle;
  bool emergencyStop_ = false;
  std::uint16_t playbackFlags_ = 0;
  std::deque<BufferedPoint> buffer_;
  std::deque<std::uint32_t> queuedRates_;
  std::uint32_t pointsPerSec_ = 0;
  std::uint32_t pointCount_ = 0;
  double playCredit_ = 0.0;
  Clock::time_point lastAdvance_ = Clock::now();

  // What arrived.
  std::int64_t connections_ = 0;
  std::int64_t refused_ = 0;
  std::int64_t received_ = 0;
  std::int64_t played_ = 0;
  std::int64_t underruns_ = 0;
  std::int64_t naks_ = 0;
  std::int64_t stops_ = 0;
  std::int64_t prepares_ = 0;
  std::int64_t dropped_ = 0;  // points dropped by the underflow-every-reply fault
  std::string rates_;
  std::string underrunsAt_;  // points played before each underrun
  std::int64_t longestPause_ms_ = 0;
  // Underruns that came right after this process itself was not scheduled
  // for a while: on a loaded machine they say more about the emulator than
  // about the host, and are reported apart (and still counted).
  std::int64_t underrunsInOwnPause_ = 0;
  Report report_;
};

bool EtherDreamUnit::Configure(const Options& options) {
  const auto address = ListenAddress(options);
  const auto clockFactor = ClockFactor(options);
  const auto port = options.Number("port", 7765, 1, 65535);
  const auto announcePort = options.Number("announce-port", 7654, 1, 65535);
  const auto capacity = options.Number("capacity", 1800, 0, 65535);
  const auto faultAfter = options.Number("fault-after", 0, 0, kMaxCount);
  const auto lateMs = options.Number("late-ms", 25, 0, 60000);
  const auto lateEveryMs = options.Number("late-every-ms", 500, 1, 3600000);
  if (!address || !clockFactor || !port || !announcePort || !capacity || !faultAfter || !lateMs ||
      !lateEveryMs)
    return false;
  address_ = *address;
  clockFactor_ = *clockFactor;
  port_ = static_cast<std::uint16_t>(*port);
  if (options.Has("announce-to")) {
    auto address = ParseIpv4(options.Text("announce-to", ""));
    if (!address) {
      std::fprintf(stderr, "--announce-to needs an IPv4 address\n");
      return false;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = *address;
    to.sin_port = htons(static_cast<std::uint16_t>(*announcePort));
    announceTo_ = to;
  }
  if (options.Has("mac")) {
    auto mac = ParseMac(options.Text("mac", ""));
    if (!mac) {
      std::fprintf(stderr, "--mac needs six hexadecimal bytes separated by colons\n");
      return false;
    }
    mac_ = *mac;
  }
  capacity_ = static_cast<std::size_t>(*capacity);
  statsPath_ = options.Text("stats", "");
  faultName_ = options.Text("fault", "");
  auto fault = ParseFault(faultName_);
  if (!fault) {
    std::fprintf(stderr, "unknown --fault %s\n", faultName_.c_str());
    return false;
  }
  fault_ = *fault;
  faultAfterPoints_ = *faultAfter;
  lateBy_ = std::chrono::milliseconds(*lateMs);
  lateEvery_ = std::chrono::milliseconds(*lateEveryMs);
  return OpenRecord(options, record_) && OpenPlayTimes(options, playTimes_);
}

bool EtherDreamUnit::OpenSockets() {
  listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
  const int yes = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr = address_;
  at.sin_port = htons(port_);
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      listen(listenFd_, 4) != 0) {
    std::fprintf(stderr, "cannot listen on %s:%u: %s\n", AddressText(address_).c_str(), port_,
                 std::strerror(errno));
    return false;
  }
  if (announceTo_) {
    announceFd_ = socket(AF_INET, SOCK_DGRAM, 0);
    setsockopt(announceFd_, SOL_SOCKET, SO_BROADCAST, &yes, sizeof yes);
    // Sent from the unit's own address, which is how a host learns it.
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr = address_;
    bind(announceFd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
  }
  return true;
}

void EtherDreamUnit::AppendStatus(std::vector<std::uint8_t>& out) const {
  const bool busy = fault_ == Fault::Busy;
  std::size_t fullness = std::min<std::size_t>(buffer_.size(), 0xFFFF);
  if (Faulty(Fault::Trickle))
    fullness = capacity_;
  if (Faulty(Fault::ZeroBuffer))
    fullness = 0;
  out.push_back(0);                       // protocol
  out.push_back(emergencyStop_ ? 3 : 0);  // light engine: ready or emergency stop
  out.push_back(busy ? kPlaying : playback_);
  out.push_back(0);                     // source: the network stream
  PutU16(out, emergencyStop_ ? 1 : 0);  // light engine flags
  PutU16(out, playbackFlags_);
  PutU16(out, 0);  // source flags
  PutU16(out, static_cast<std::uint16_t>(fullness));
  PutU32(out, pointsPerSec_);
  PutU32(out, pointCount_);
}

void EtherDreamUnit::Announce() {
  std::vector<std::uint8_t> packet(mac_.begin(), mac_.end());
  PutU16(packet, 2);  // hardware revision
  PutU16(packet, 2);  // software revision
  PutU16(packet, static_cast<std::uint16_t>(capacity_));
  PutU32(packet, kMaxPointsPerSec);
  AppendStatus(packet);
  sendto(announceFd_, packet.data(), packet.size(), 0,
         reinterpret_cast<const sockaddr*>(&*announceTo_), sizeof *announceTo_);
}

void EtherDreamUnit::Reply(std::uint8_t response, std::uint8_t command) {
  if (Faulty(Fault::WithholdAck))
    return;
  if (response != 'a')
    ++naks_;
  if (Faulty(Fault::WrongEcho))
    command = command == 'd' ? '?' : 'd';
  std::vector<std::uint8_t> reply{response, command};
  AppendStatus(reply);
  const auto now = Clock::now();
  std::chrono::milliseconds hold{0};
  if (Faulty(Fault::Trickle) && command == 'p')
    hold = std::chrono::duration_cast<std::chrono::milliseconds>(kTricklePrepare);
  if (Faulty(Fault::LateReplies) && now >= nextLate_) {
    hold = lateBy_;
    nextLate_ = now + lateEvery_;
  }
  if (Faulty(Fault::DryUnflagged) && !heldOnce_) {
    hold = kDryHold;
    heldOnce_ = true;
  }
  if (hold.count() > 0) {
    // Late as if the network held it: it tells the state it was composed in.
    heldReply_ = reply;
    heldUntil_ = now + hold;
    holding_ = true;
    return;
  }
  send(clientFd_, reply.data(), reply.size(), MSG_NOSIGNAL);
}

void EtherDreamUnit::SendHeldReply(Clock::time_point now) {
  if (!holding_ || now < heldUntil_)
    return;
  holding_ = false;
  send(clientFd_, heldReply_.data(), heldReply_.size(), MSG_NOSIGNAL);
  HandleCommands();  // what the host sent meanwhile, in turn
}

// Faults that strike right after a command was carried out (and before its
// reply is composed, so the reply tells of them).
void EtherDreamUnit::AfterCommand() {
  if (Faulty(Fault::UnderflowEveryReply) && playback_ == kPlaying) {
    dropped_ += static_cast<std::int64_t>(buffer_.size());
    buffer_.clear();
    playback_ = kIdle;
    playbackFlags_ |= kUnderflowFlag;
  }
  if (Faulty(Fault::EmergencyStop) && !emergencyStop_) {
    emergencyStop_ = true;
    buffer_.clear();
    playback_ = kIdle;
    playbackFlags_ |= kEmergencyStopFlag;
  }
}

void EtherDreamUnit::Accept() {
  const int fd = accept(listenFd_, nullptr, nullptr);
  if (fd < 0)
    return;
  // One host at a time; the busy fault plays a unit held by another host.
  if (clientFd_ >= 0 || fault_ == Fault::Busy) {
    ++refused_;
    close(fd);
    return;
  }
  clientFd_ = fd;
  ++connections_;
  inbox_.clear();
  Reply('a', '?');  // the unasked status on connect
}

void EtherDreamUnit::EndConnection() {
  close(clientFd_);
  clientFd_ = -1;
  holding_ = false;
  playback_ = kIdle;
  buffer_.clear();
  queuedRates_.clear();
  playbackFlags_ = 0;
  if (record_)
    std::fflush(record_);
  if (playTimes_)
    std::fflush(playTimes_);
}

void EtherDreamUnit::ReadClient() {
  std::uint8_t chunk[65536];
  const ssize_t got = recv(clientFd_, chunk, sizeof chunk, 0);
  if (got <= 0) {
    EndConnection();
    return;
  }
  if (fault_ == Fault::WithholdAck && FaultActive())
    return;  // a unit that has stopped listening
  inbox_.insert(inbox_.end(), chunk, chunk + got);
  HandleCommands();
}

// Bytes of the command that starts at `bytes`, 0 while it is incomplete.
std::size_t CommandLength(const std::uint8_t* bytes, std::size_t size) {
  std::size_t length = 1;
  if (bytes[0] == 'b')
    length = 7;
  else if (bytes[0] == 'q')
    length = 5;
  else if (bytes[0] == 'd')
    length = size >= 3 ? 3 + GetU16(bytes + 1) * kPointBytes : 3;
  return size >= length ? length : 0;
}

void EtherDreamUnit::HandleCommands() {
  std::size_t used = 0;
  while (clientFd_ >= 0 && !holding_ && used < inbox_.size()) {
    const std::size_t length = CommandLength(&inbox_[used], inbox_.size() - used);
    if (length == 0)
      break;
    Execute(&inbox_[used], length);
    used += length;
    if (fault_ == Fault::Drop && FaultActive()) {
      EndConnection();
      return;
    }
  }
  inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(used));
}

void EtherDreamUnit::Execute(const std::uint8_t* command, std::size_t length) {
  Advance(Clock::now());
  const std::uint8_t kind = command[0];
  const std::uint8_t response = Carry(command, length);
  AfterCommand();
  Reply(response, kind);
}

std::uint8_t EtherDreamUnit::Carry(const std::uint8_t* command, std::size_t length) {
  const std::uint8_t kind = command[0];
  switch (kind) {
    case 'p':
      if (emergencyStop_)
        return '!';
      if (playback_ != kIdle)
        return 'I';
      ++prepares_;
      playback_ = kPrepared;
      buffer_.clear();
      queuedRates_.clear();
      playbackFlags_ = 0;
      pointCount_ = 0;
      return 'a';
    case 'b': {
      const std::uint32_t rate = GetU32(command + 3);
      if (playback_ != kPrepared || buffer_.empty() || rate == 0 || rate > kMaxPointsPerSec)
        return 'I';
      playback_ = kPlaying;
      pointsPerSec_ = rate;
      NoteRate(rate);
      playCredit_ = 0.0;
      lastAdvance_ = Clock::now();
      return 'a';
    }
    case 'q': {
      const std::uint32_t rate = GetU32(command + 1);
      if (playback_ == kIdle || rate == 0 || rate > kMaxPointsPerSec)
        return 'I';
      queuedRates_.push_back(rate);
      return 'a';
    }
    case 'd': {
      const std::size_t count = (length - 3) / kPointBytes;
      received_ += static_cast<std::int64_t>(count);
      if (Faulty(Fault::Nak))
        return 'I';
      if (emergencyStop_)
        return '!';
      if (playback_ == kIdle)
        return 'I';
      // The zero-buffer fault takes everything, as a unit that lies about
      // its fullness would have to; the trickle fault one point at a time.
      if (buffer_.size() + count > capacity_ && !Faulty(Fault::ZeroBuffer))
        return 'F';
      if (Faulty(Fault::Trickle) && count > 1)
        return 'F';
      for (std::size_t i = 0; i < count; ++i) {
        BufferedPoint point;
        std::memcpy(point.bytes.data(), command + 3 + i * kPointBytes, kPointBytes);
        point.control = GetU16(point.bytes.data());
        buffer_.push_back(point);
      }
      return 'a';
    }
    case 's':
      ++stops_;
      playback_ = kIdle;
      buffer_.clear();
      queuedRates_.clear();
      return 'a';
    case 0x00:
    case 0xFF:
      emergencyStop_ = true;
      playback_ = kIdle;
      buffer_.clear();
      return 'a';
    case 'c':
      emergencyStop_ = false;
      return 'a';
    case '?':
      return 'a';
    default:
      return 'I';
  }
}

void EtherDreamUnit::NoteRate(std::uint32_t pointsPerSec) {
  const std::string text = std::to_string(pointsPerSec);
  const auto last = rates_.rfind(',');
  const std::string lastRate = last == std::string::npos ? rates_ : rates_.substr(last + 1);
  if (lastRate != text)
    rates_ += (rates_.empty() ? "" : ",") + text;
}

void EtherDreamUnit::Play(const BufferedPoint& point, Clock::time_point at) {
  if ((point.control & kRateChangeBit) && !queuedRates_.empty()) {
    pointsPerSec_ = queuedRates_.front();
    queuedRates_.pop_front();
    NoteRate(pointsPerSec_);
  }
  if (record_) {
    std::fwrite(point.bytes.data(), 1, kPointBytes, record_);
    std::vector<std::uint8_t> rate;
    PutU32(rate, pointsPerSec_);
    std::fwrite(rate.data(), 1, rate.size(), record_);
  }
  if (playTimes_)
    WritePlayTime(playTimes_, at);
  ++played_;
  ++pointCount_;
}

// Plays the points the elapsed time stands for; a buffer that runs dry
// drops the unit back to idle with the underflow flag, as the hardware does.
void EtherDreamUnit::Advance(Clock::time_point now) {
  const double elapsed_s = std::chrono::duration<double>(now - lastAdvance_).count();
  lastAdvance_ = now;
  if (playback_ != kPlaying || (fault_ == Fault::Slow && FaultActive()))
    return;
  // While playing the loop wakes every 2 ms; a longer gap means this
  // process was not scheduled, which a hardware unit never suffers.
  longestPause_ms_ = std::max(longestPause_ms_, static_cast<std::int64_t>(elapsed_s * 1000));
  // Its own crystal sets the pace.
  const double pointsPerRealSec = pointsPerSec_ * clockFactor_;
  playCredit_ += elapsed_s * pointsPerRealSec;
  while (playCredit_ >= 1.0) {
    if (buffer_.empty()) {
      playback_ = kIdle;
      if (!Faulty(Fault::DryUnflagged))
        playbackFlags_ |= kUnderflowFlag;
      ++underruns_;
      if (elapsed_s > kOwnPause_s)
        ++underrunsInOwnPause_;
      underrunsAt_ += (underrunsAt_.empty() ? "" : ",") + std::to_string(played_);
      playCredit_ = 0.0;
      return;
    }
    // The point began once its credit was complete: the credit left over
    // after it is how long ago.
    const double ago_s = (playCredit_ - 1.0) / pointsPerRealSec;
    Play(buffer_.front(),
         now - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(ago_s)));
    buffer_.pop_front();
    playCredit_ -= 1.0;
  }
}

void EtherDreamUnit::UpdateReport() {
  static const char* const kPlaybackNames[] = {"idle", "prepared", "playing"};
  report_.Set("device", "etherdream");
  report_.Set("connections", connections_);
  report_.Set("refused", refused_);
  report_.Set("points_received", received_);
  report_.Set("points_played", played_);
  report_.Set("underruns", underruns_);
  report_.Set("underruns_after_points", underrunsAt_);
  report_.Set("naks", naks_);
  report_.Set("stops", stops_);
  report_.Set("prepares", prepares_);
  report_.Set("points_dropped", dropped_);
  report_.Set("longest_pause_ms", longestPause_ms_);
  report_.Set("underruns_in_own_pause", underrunsInOwnPause_);
  report_.Set("rate", pointsPerSec_);
  report_.Set("rates", rates_);
  report_.Set("playback", kPlaybackNames[playback_]);
  report_.Set("connected", clientFd_ >= 0 ? 1 : 0);
  report_.Set("fault", faultName_.empty() ? "none" : faultName_);
}

int EtherDreamUnit::Run() {
  if (!OpenSockets())
    return 1;
  const std::string at = AddressText(address_);
  std::fprintf(stderr, "Ether Dream emulator on %s:%u\n", at.c_str(), port_);
  if (announceTo_) {
    char to[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &announceTo_->sin_addr, to, sizeof to);
    std::fprintf(stderr,
                 "Announcing itself to %s:%u once a second: Whorlgen on that computer lists it as "
                 "\"Ether Dream %02x:%02x:%02x\".\n",
                 to, ntohs(announceTo_->sin_port), mac_[3], mac_[4], mac_[5]);
  } else {
    std::fprintf(stderr,
                 "Not announcing itself (no --announce-to): Whorlgen sees it only once "
                 "%s:%u is added by address (Devices..., Network DACs, kind Ether Dream). "
                 "--announce-to 127.0.0.1 makes Whorlgen list it by itself.\n",
                 at.c_str(), port_);
  }
  auto nextAnnounce = Clock::now();
  auto nextReport = Clock::now();
  while (!StopRequested()) {
    const auto now = Clock::now();
    Advance(now);
    if (clientFd_ >= 0)
      SendHeldReply(now);
    if (announceTo_ && now >= nextAnnounce) {
      Announce();
      nextAnnounce = now + std::chrono::seconds(1);
    }
    if (now >= nextReport) {
      UpdateReport();
      report_.WriteTo(statsPath_);
      nextReport = now + std::chrono::milliseconds(100);
    }
    pollfd watched[2] = {{listenFd_, POLLIN, 0}, {clientFd_, POLLIN, 0}};
    // Playing needs a fine clock to see an underflow when it happens.
    const int timeout_ms = playback_ == kPlaying || holding_ ? 2 : 50;
    if (poll(watched, clientFd_ >= 0 ? 2 : 1, timeout_ms) <= 0)
      continue;
    if (watched[0].revents & POLLIN)
      Accept();
    if (clientFd_ >= 0 && (watched[1].revents & (POLLIN | POLLHUP | POLLERR)))
      ReadClient();
  }
  if (clientFd_ >= 0)
    EndConnection();
  UpdateReport();
  report_.WriteTo(statsPath_);
  std::fputs(report_.Text().c_str(), stdout);
  if (record_)
    std::fclose(record_);
  if (playTimes_)
    std::fclose(playTimes_);
  return 0;
}

}  // namespace

int RunEtherDreamEmulator(int argc, char** argv, int firstOption) {
  return RunUnit<EtherDreamUnit>(argc, argv, firstOption);
}

}  // namespace whorlgen::emulators
