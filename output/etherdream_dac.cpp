#include "output/etherdream_dac.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace whorlgen::output {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
namespace ed = etherdream;

std::string AddressText(const sockaddr_in& address) {
  char host[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

namespace {

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

}  // namespace

// One TCP connection to the unit, used by one thread at a time: OpenDac's,
// then the I/O thread's. Each command waits for its reply (lock-step), so
// every reply brings a fresh status.
class EtherDreamConnection {
 public:
  explicit EtherDreamConnection(std::string who) : who_(std::move(who)) {}
  ~EtherDreamConnection() { Close(); }

  DacFailure Connect(const sockaddr_in& address, milliseconds limit) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0)
      return who_ + ": no socket (" + std::strerror(errno) + ")";
    const int one = 1;  // small commands go out at once
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS)
      return ConnectFailure(errno);
    pollfd watched{fd_, POLLOUT, 0};
    if (poll(&watched, 1, static_cast<int>(limit.count())) <= 0)
      return who_ + " cannot be reached: no answer within " + std::to_string(limit.count()) +
             " ms (is it switched on and on this network?)";
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0)
      return ConnectFailure(error);
    return std::nullopt;
  }

  // The status every unit sends unasked on a new connection. A unit that
  // serves another computer turns the connection away instead.
  DacFailure Greeting(milliseconds limit, ed::Reply& reply) {
    if (auto failure = ReadReply(limit, reply)) {
      if (closedByUnit_)
        return who_ + " is busy with another computer: it turned the connection away";
      return failure;
    }
    return std::nullopt;
  }

  DacFailure Command(const std::vector<std::uint8_t>& bytes, milliseconds limit, ed::Reply& reply) {
    if (auto failure = SendAll(bytes, limit))
      return failure;
    return ReadReply(limit, reply);
  }

  // The unit closed or reset the connection (it serves another computer).
  bool ClosedByUnit() const { return closedByUnit_; }

  void Close() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }

 private:
  DacFailure ConnectFailure(int error) const {
    if (error == ECONNREFUSED)
      // A unit that serves another computer may turn a connection away this
      // early too, so both causes are named.
      return who_ +
             " refused the connection: it is busy with another computer, or nothing listens "
             "there (is it an Ether Dream, switched on?)";
    return who_ + " cannot be reached: " + std::strerror(error);
  }

  DacFailure Lost(const char* what) const {
    return who_ + ": the connection was lost (" + what + ")";
  }

  DacFailure SendAll(const std::vector<std::uint8_t>& bytes, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR)
        return Lost(std::strerror(errno));
      pollfd watched{fd_, POLLOUT, 0};
      if (poll(&watched, 1, MillisecondsLeft(deadline)) <= 0)
        return who_ + " took no data for " + std::to_string(limit.count()) + " ms";
    }
    return std::nullopt;
  }

  DacFailure ReadReply(milliseconds limit, ed::Reply& reply) {
    const auto deadline = Clock::now() + limit;
    std::uint8_t bytes[ed::kReplyBytes];
    std::size_t got = 0;
    while (got < sizeof bytes) {
      const ssize_t n = recv(fd_, bytes + got, sizeof bytes - got, 0);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0) {
        closedByUnit_ = true;
        return Lost("the unit closed it");
      }
      if (errno == ECONNRESET)
        closedByUnit_ = true;
      if (errno != EAGAIN && errno != EINTR)
        return Lost(std::strerror(errno));
      pollfd watched{fd_, POLLIN, 0};
      if (poll(&watched, 1, MillisecondsLeft(deadline)) <= 0)
        return who_ + " did not answer for " + std::to_string(limit.count()) + " ms";
    }
    reply = ed::DecodeReply(std::span<const std::uint8_t, ed::kReplyBytes>(bytes));
    return std::nullopt;
  }

  const std::string who_;
  int fd_ = -1;
  bool closedByUnit_ = false;
};

DeviceState ProbeEtherDream(const sockaddr_in& address, milliseconds limit) {
  EtherDreamConnection connection(AddressText(address));
  ed::Reply reply;
  if (connection.Connect(address, limit))
    return DeviceState::Unreachable;
  if (connection.Greeting(limit, reply))
    return connection.ClosedByUnit() ? DeviceState::BusyWithAnotherComputer
                                     : DeviceState::Unreachable;
  return reply.State.PlaybackState == ed::Playback::Idle ? DeviceState::Idle
                                                         : DeviceState::BusyWithAnotherComputer;
}

EtherDreamDriver::EtherDreamDriver(EtherDreamTarget target, EtherDreamTiming timing)
    : target_(std::move(target)),
      timing_(timing),
      who_(target_.Name + " at " + AddressText(target_.Address)),
      stream_(target_.Name, timing.StallLimit) {}

EtherDreamDriver::~EtherDreamDriver() {
  StopIo();
  if (inUse_ && target_.OnUse)
    target_.OnUse(false);
}

DacFailure EtherDreamDriver::OpenDac(engine::GeneratorState&) {
  connection_ = std::make_unique<EtherDreamConnection>(who_);
  if (auto failure = Prepare()) {
    connection_.reset();
    failureTold_ = true;
    return failure;
  }
  inUse_ = true;
  if (target_.OnUse)
    target_.OnUse(true);
  io_ = std::thread([this] { IoMain(); });
  return std::nullopt;
}

DacFailure EtherDreamDriver::Prepare() {
  ed::Reply reply;
  if (auto failure = connection_->Connect(target_.Address, timing_.ConnectLimit))
    return failure;
  if (auto failure = connection_->Greeting(timing_.AnswerLimit, reply))
    return failure;
  if (reply.State.LightEngineState == 3)
    return who_ + " is in an emergency stop: release it on the unit, then Start again";
  // A unit left playing by a run that lost its connection is stopped first.
  if (reply.State.PlaybackState != ed::Playback::Idle) {
    if (auto failure = connection_->Command({'s'}, timing_.AnswerLimit, reply))
      return failure;
  }
  if (auto failure = connection_->Command({'p'}, timing_.AnswerLimit, reply))
    return failure;
  if (reply.Response != 'a')
    return who_ + " cannot start: " + ed::NakReason(reply.Response);
  return std::nullopt;
}

DacFailure EtherDreamDriver::SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) {
  if (!io_.joinable())
    return std::nullopt;  // the open failed, and said so
  auto failure = stream_.Push(frame.FrameBuffer, pointsPerSec);
  if (failure) {
    if (failureTold_)
      return std::nullopt;
    failureTold_ = true;
  }
  return failure;
}

DacFailure EtherDreamDriver::CloseDac() {
  if (io_.joinable()) {
    const std::int32_t rate = std::max(stream_.CurrentPointsPerSec(), 1000);
    // 40 ms of dark points, so the unit is stopped on a blanked beam.
    const std::size_t leadOut =
        std::min<std::size_t>(static_cast<std::size_t>(rate) / 25, target_.Capacity / 2);
    leadOutPoints_ = leadOut;
    stream_.Close(leadOut);
    // What is still queued plays out; a unit that stalls meanwhile is given
    // up after the stall limit.
    const auto playOut = milliseconds(1000 * (stream_.ReadyPoints() + target_.Capacity) /
                                      static_cast<std::size_t>(rate));
    const auto deadline = Clock::now() + playOut + timing_.StallLimit + timing_.AnswerLimit;
    while (!ioDone_ && Clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(5));
    if (!ioDone_)
      stream_.Fail(who_ + " did not finish playing the last frame in time and was stopped");
    StopIo();
  }
  connection_.reset();
  if (inUse_ && target_.OnUse)
    target_.OnUse(false);
  inUse_ = false;
  auto failure = stream_.Failure();
  if (failure && !failureTold_) {
    failureTold_ = true;
    return failure;
  }
  return std::nullopt;
}

std::string EtherDreamDriver::StatusNote() const {
  const int underruns = underruns_;
  if (underruns == 0)
    return {};
  return std::to_string(underruns) + (underruns == 1 ? " underrun" : " underruns") +
         ": the unit ran dry and was restarted";
}

void EtherDreamDriver::StopIo() {
  stopIo_ = true;
  if (io_.joinable())
    io_.join();
}

namespace {

// What the I/O thread knows of the unit: the last status and when it came.
struct UnitView {
  ed::Status Last;
  Clock::time_point LastAt = Clock::now();
  bool Begun = false;
  std::uint32_t LastPointCount = 0;
  Clock::time_point LastProgress = Clock::now();

  // Points still waiting in the unit now: the last reported fullness less
  // what has played since, at the unit's own rate.
  double Fullness(Clock::time_point now) const {
    if (!Begun || Last.PlaybackState != ed::Playback::Playing)
      return Last.BufferFullness;
    const double played = std::chrono::duration<double>(now - LastAt).count() * Last.PointsPerSec;
    return std::max(0.0, Last.BufferFullness - played);
  }
};

}  // namespace

void EtherDreamDriver::IoMain() {
  const std::size_t capacity = std::max<std::size_t>(target_.Capacity, 64);
  // Topped up to three quarters: room for the estimate to be off, never a NAK.
  const std::size_t target = capacity * 3 / 4;
  UnitView unit;
  std::vector<StreamPoint> chunk(capacity);
  std::vector<std::uint8_t> packet;
  ed::Reply reply;

  // Sends one command and takes in the status of its reply. Restarted: the
  // unit had run dry and was prepared again (what it rejected meanwhile is
  // explained by that); Failed: the stream was told why.
  enum class Outcome { Ok, Restarted, Failed };
  auto command = [&](const std::vector<std::uint8_t>& bytes) -> Outcome {
    if (auto failure = connection_->Command(bytes, timing_.AnswerLimit, reply)) {
      stream_.Fail(*failure);
      return Outcome::Failed;
    }
    const auto now = Clock::now();
    unit.Last = reply.State;
    unit.LastAt = now;
    if (reply.State.PointCount != unit.LastPointCount || !unit.Begun) {
      unit.LastPointCount = reply.State.PointCount;
      unit.LastProgress = now;
    }
    const bool ranDry = reply.State.PlaybackState == ed::Playback::Idle &&
                        (reply.State.PlaybackFlags & ed::kUnderflowFlag) != 0;
    if (unit.Begun && ranDry) {
      ++underruns_;
      unit.Begun = false;
      if (auto failure = connection_->Command({'p'}, timing_.AnswerLimit, reply)) {
        stream_.Fail(*failure);
        return Outcome::Failed;
      }
      unit.Last = reply.State;
      unit.LastAt = Clock::now();
      if (reply.Response != 'a') {
        stream_.Fail(who_ + " cannot restart: " + ed::NakReason(reply.Response));
        return Outcome::Failed;
      }
      return Outcome::Restarted;
    }
    if (reply.Response != 'a') {
      stream_.Fail(who_ + " ended the run: " + ed::NakReason(reply.Response));
      return Outcome::Failed;
    }
    return Outcome::Ok;
  };

  bool healthy = true;
  while (healthy && !stopIo_) {
    if (!stream_.Started()) {
      std::this_thread::sleep_for(milliseconds(2));
      continue;
    }
    const auto now = Clock::now();
    if (unit.Begun && now - unit.LastProgress > timing_.StallLimit) {
      stream_.Fail(who_ + " took no points for " + std::to_string(timing_.StallLimit.count()) +
                   " ms: the unit stopped playing");
      break;
    }
    const double fullness = unit.Fullness(now);
    const double rate = std::max<double>(
        unit.Begun ? unit.Last.PointsPerSec : stream_.CurrentPointsPerSec(), 1000.0);
    if (stream_.Finished()) {
      // All sent: let the unit play the frames and most of the lead-out.
      // Stopped while a quarter of the lead-out has played: every frame point
      // is out, and a late wake-up of this thread cannot run the unit dry.
      if (!unit.Begun || fullness <= static_cast<double>(leadOutPoints_) * 3 / 4)
        break;
      std::this_thread::sleep_for(milliseconds(2));
      continue;
    }
    // Never more than the unit said it has room for, whatever the estimate.
    const double unitRoom = static_cast<double>(capacity) - unit.Last.BufferFullness;
    const auto room = static_cast<std::size_t>(
        std::max(0.0, std::min(static_cast<double>(target) - fullness, unitRoom)));
    const auto refill =
        std::clamp<std::size_t>(static_cast<std::size_t>(rate / 60), 32,
                                target / 3);  // about 16 ms of points: fewer wake-ups
    if (unit.Begun && room < refill) {
      if (now - unit.LastAt > milliseconds(50))
        healthy = command({'?'}) != Outcome::Failed;  // a fresh status: does it still play?
      else
        std::this_thread::sleep_for(milliseconds(
            std::clamp(static_cast<int>(std::lround(1000.0 * (refill - room) / rate)), 1, 20)));
      continue;
    }
    // Blanked padding only when the unit would otherwise run low: a frame
    // that is merely late by a few milliseconds still follows seamlessly.
    // The unit starts with half its target, so a short first frame does not
    // leave it playing on the edge while the next one is built.
    const bool low = unit.Begun && fullness < static_cast<double>(target) / 3;
    const std::size_t minimum = !unit.Begun ? target / 2 : low ? room : 0;
    const std::size_t count =
        stream_.Pull(std::span(chunk.data(), std::max<std::size_t>(room, 1)), minimum);
    if (count == 0) {
      std::this_thread::sleep_for(milliseconds(1));
      continue;
    }
    const std::span<const StreamPoint> points(chunk.data(), count);
    Outcome outcome = Outcome::Ok;
    for (const StreamPoint& point : points) {
      if (point.RateChange && outcome == Outcome::Ok)
        outcome = command(ed::QueueRateCommand(static_cast<std::uint32_t>(point.PointsPerSec)));
    }
    packet.clear();
    ed::AppendDataCommand(points, packet);
    if (outcome == Outcome::Ok)
      outcome = command(packet);
    if (outcome == Outcome::Ok)
      framesOnWire_ += static_cast<std::uint64_t>(std::count_if(
          points.begin(), points.end(), [](const StreamPoint& p) { return p.FrameStart; }));
    if (outcome == Outcome::Ok && !unit.Begun) {
      outcome = command(ed::BeginCommand(static_cast<std::uint32_t>(points[0].PointsPerSec)));
      unit.Begun = outcome == Outcome::Ok;
      unit.LastProgress = Clock::now();
    }
    healthy = outcome != Outcome::Failed;
  }
  // Whatever ended the stream, the unit is told to stop: its output goes dark.
  if (connection_) {
    ed::Reply ignored;
    connection_->Command({'s'}, milliseconds(200), ignored);
    connection_->Close();
  }
  ioDone_ = true;
}

}  // namespace whorlgen::output
