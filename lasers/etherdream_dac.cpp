#include "lasers/etherdream_dac.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include "engine/shown_text.h"

namespace whorlgen::lasers {

using output::DacFailure;
using output::DeviceState;

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;
namespace ed = etherdream;

std::string AddressText(const sockaddr_in& address) {
  char host[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string NameWithAddress(const std::string& name, const sockaddr_in& address) {
  const std::string at = AddressText(address);
  if (name.ends_with(at))
    return name;
  return name + " at " + at;
}

std::size_t PlausibleCapacity(std::size_t announced) {
  if (announced < kLeastPlausibleCapacity || announced > kMostPlausibleCapacity)
    return ed::kDefaultCapacity;
  return announced;
}

namespace {

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::min<long long>(std::max<long long>(left, 0), 60000));
}

// A command byte as a message shows it: 'd', or 0x07 when not printable.
std::string CommandText(std::uint8_t command) {
  char text[8];
  if (command > 0x20 && command < 0x7F)
    std::snprintf(text, sizeof text, "'%c'", command);
  else
    std::snprintf(text, sizeof text, "0x%02x", command);
  return text;
}

bool EmergencyStopped(const ed::Reply& reply) {
  return reply.Response == '!' || reply.State.LightEngineState == ed::kLightEngineEmergencyStop ||
         (reply.State.PlaybackState == ed::Playback::Idle &&
          (reply.State.PlaybackFlags & ed::kEmergencyStopFlag) != 0);
}

}  // namespace

// One TCP connection to the unit, used by one thread at a time: OpenDac's,
// then the I/O thread's. Each command waits for its reply (lock-step), so
// every reply brings a fresh status. Bytes not yet sent and replies not yet
// read are kept when a wait is cut short (a raised WakeSignal), so the
// closing commands that follow still line up with their replies.
class EtherDreamConnection {
 public:
  EtherDreamConnection(std::string who, const WakeSignal* wake)
      : who_(std::move(who)), wake_(wake) {}
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
    const auto deadline = Clock::now() + limit;
    while (PollOrWake(fd_, POLLOUT, MillisecondsLeft(deadline), wake_) == 0) {
      if (Interrupted(true))
        return EndedWhileWaiting();
      if (Clock::now() >= deadline)
        return who_ + " cannot be reached: no answer within " + std::to_string(limit.count()) +
               " ms (is it switched on and on this network?)";
    }
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0)
      return ConnectFailure(error);
    usable_ = true;
    owed_ = 1;  // the status every unit sends unasked on a new connection
    return std::nullopt;
  }

  // That unasked status. A unit that serves another computer turns the
  // connection away instead.
  DacFailure Greeting(milliseconds limit, ed::Reply& reply) {
    if (auto failure = ReadReply(Clock::now() + limit, limit, true, reply)) {
      if (closedByUnit_)
        return who_ + " is busy with another computer: it turned the connection away";
      return failure;
    }
    owed_ = 0;
    return std::nullopt;
  }

  // Sends a command and waits for its reply, first taking in the replies
  // still owed for commands whose wait was cut short. A reply that echoes
  // another command means the two sides are out of step.
  DacFailure Command(const std::vector<std::uint8_t>& bytes, milliseconds limit, ed::Reply& reply,
                     bool interruptible = true) {
    if (!usable_)
      return Lost("it was closed");
    const auto deadline = Clock::now() + limit;
    outbox_.insert(outbox_.end(), bytes.begin(), bytes.end());
    ++owed_;
    if (auto failure = Flush(deadline, limit, interruptible))
      return failure;
    while (owed_ > 0) {
      if (auto failure = ReadReply(deadline, limit, interruptible, reply))
        return failure;
      --owed_;
    }
    if (static_cast<std::uint8_t>(reply.Command) != bytes[0]) {
      usable_ = false;
      return who_ + " answered out of step (a reply to " +
             CommandText(static_cast<std::uint8_t>(reply.Command)) + " where one to " +
             CommandText(bytes[0]) + " was due): its replies cannot be trusted";
    }
    return std::nullopt;
  }

  // The unit closed or reset the connection (it serves another computer).
  bool ClosedByUnit() const { return closedByUnit_; }
  bool Usable() const { return usable_; }

  void Close() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
    usable_ = false;
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

  DacFailure Lost(const char* what) {
    usable_ = false;
    return who_ + ": the connection was lost (" + what + ")";
  }

  bool Interrupted(bool interruptible) const {
    return interruptible && wake_ != nullptr && wake_->Raised();
  }

  DacFailure EndedWhileWaiting() const { return who_ + ": the run ended while waiting for it"; }

  DacFailure Flush(Clock::time_point deadline, milliseconds limit, bool interruptible) {
    while (!outbox_.empty()) {
      const ssize_t n = send(fd_, outbox_.data(), outbox_.size(), MSG_NOSIGNAL);
      if (n > 0) {
        outbox_.erase(outbox_.begin(), outbox_.begin() + n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR)
        return Lost(std::strerror(errno));
      if (PollOrWake(fd_, POLLOUT, MillisecondsLeft(deadline), interruptible ? wake_ : nullptr) ==
          0) {
        if (Interrupted(interruptible))
          return EndedWhileWaiting();
        if (Clock::now() >= deadline)
          return who_ + " took no data for " + std::to_string(limit.count()) + " ms";
      }
    }
    return std::nullopt;
  }

  DacFailure ReadReply(Clock::time_point deadline, milliseconds limit, bool interruptible,
                       ed::Reply& reply) {
    while (inbox_.size() < ed::kReplyBytes) {
      std::uint8_t bytes[256];
      const ssize_t n = recv(fd_, bytes, sizeof bytes, 0);
      if (n > 0) {
        inbox_.insert(inbox_.end(), bytes, bytes + n);
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
      if (PollOrWake(fd_, POLLIN, MillisecondsLeft(deadline), interruptible ? wake_ : nullptr) ==
          0) {
        if (Interrupted(interruptible))
          return EndedWhileWaiting();
        if (Clock::now() >= deadline)
          return who_ + " did not answer for " + std::to_string(limit.count()) + " ms";
      }
    }
    reply = ed::DecodeReply(
        std::span<const std::uint8_t, ed::kReplyBytes>(inbox_.data(), ed::kReplyBytes));
    inbox_.erase(inbox_.begin(), inbox_.begin() + ed::kReplyBytes);
    return std::nullopt;
  }

  const std::string who_;
  const WakeSignal* wake_;  // null: waits end only at their limits
  int fd_ = -1;
  bool usable_ = false;
  bool closedByUnit_ = false;
  std::vector<std::uint8_t> outbox_;  // bytes of commands not yet sent
  std::vector<std::uint8_t> inbox_;   // bytes received, not yet read as replies
  int owed_ = 0;                      // replies due for commands sent
};

DeviceState ProbeEtherDream(const sockaddr_in& address, milliseconds limit) {
  EtherDreamConnection connection(AddressText(address), nullptr);
  ed::Reply reply;
  if (connection.Connect(address, limit))
    return DeviceState::Unreachable;
  if (connection.Greeting(limit, reply))
    return connection.ClosedByUnit() ? DeviceState::BusyWithAnotherComputer
                                     : DeviceState::Unreachable;
  return reply.State.PlaybackState == ed::Playback::Idle ? DeviceState::Idle
                                                         : DeviceState::BusyWithAnotherComputer;
}

namespace {

// The unit holds at least this much playing time at every rate, as far as
// its capacity allows, so a computer that stalls for that long does not
// empty it.
constexpr double kKeepAtLeast_s = 0.030;
// Each top-up carries this much playing time: small and frequent while the
// unit holds little more than that, larger (fewer wake-ups) when it holds
// much more.
constexpr double kTopUp_s = 0.004;
constexpr double kLargestTopUp_s = 0.016;
constexpr std::size_t kLeastTopUp = 16;
// A unit whose capacity, learnt from its refusals, falls below this cannot
// be fed.
constexpr std::size_t kLeastCapacity = 64;
// The unit's clock and the computer's may drift apart by this share, and the
// unit may have begun this long before its answer arrived.
constexpr double kClockTolerance = 1e-3;
constexpr double kClockSlack_s = 0.005;
// With no room and no answer for this long, the unit is asked for a fresh
// status: has it stopped playing?
constexpr milliseconds kPingAfter{50};
// A run cut short: the dark lead-out it still gets, and how long its close
// may wait for that to play.
constexpr double kShortLeadOut_s = 0.010;
constexpr milliseconds kCutShortClose{300};
constexpr milliseconds kCutShortAnswer{50};
constexpr milliseconds kStopAnswer{200};

// Reports the computer's clock shows to be false (EtherDreamCounts bits).
enum FalseReport : unsigned {
  kEmptierThanPossible = 1,
  kPointsNeverSent = 2,
  kDryWhileHolding = 4,
};

microseconds Duration(double seconds, microseconds least, microseconds most) {
  const auto wanted = microseconds(std::llround(seconds * 1e6));
  return std::min(std::max(wanted, least), most);
}

// The I/O thread's side of a run: what it knows of the unit and of the
// clock, the points pulled but not yet taken, and how it keeps the unit fed.
class Feeder {
 public:
  Feeder(EtherDreamConnection& connection, PointStream& stream, const EtherDreamTiming& timing,
         const std::string& who, std::size_t capacity, EtherDreamCounts& counts,
         const std::atomic<std::size_t>& leadOutPoints,
         const std::function<void(std::uint64_t)>& framesOnWire)
      : connection_(connection),
        stream_(stream),
        timing_(timing),
        who_(who),
        capacity_(capacity),
        counts_(counts),
        leadOutPoints_(leadOutPoints),
        framesOnWire_(framesOnWire) {}

  // Keeps the unit fed until the stream has ended and its lead-out plays, or
  // the run failed or was cut short.
  void Run() {
    while (!stream_.Failure() && !stream_.Interrupted()) {
      if (!stream_.Started()) {
        stream_.AwaitPoints(milliseconds(20));
        continue;
      }
      const auto now = Clock::now();
      const double rate = Rate();
      const double fullness = Fullness(now, rate);
      if (stream_.Finished() && unsent_.empty()) {
        // All sent: the frames and most of the lead-out play, and the unit is
        // stopped while a quarter of the lead-out still plays, so a late
        // wake-up of this thread cannot run it dry on a lit point.
        if (!begun_ || fullness <= static_cast<double>(leadOutPoints_) * 3 / 4)
          return;
        stream_.Sleep(milliseconds(2));
        continue;
      }
      const std::size_t room = Room(fullness);
      const std::size_t topUp = TopUpPoints(rate);
      if (room < topUp) {
        if (now - lastAt_ >= kPingAfter) {
          if (Send({'?'}) == Outcome::Failed)
            return;
        } else {
          const double wait_s = static_cast<double>(topUp - room) / rate;
          stream_.Sleep(Duration(wait_s, microseconds(500), milliseconds(20)));
        }
        continue;
      }
      if (!Gather(room, fullness, rate)) {
        // Nothing ready and the unit not yet low: a frame that is merely
        // late still follows seamlessly.
        const double untilLow_s = (fullness - LowMark(rate)) / rate;
        stream_.AwaitPoints(Duration(untilLow_s, microseconds(500), milliseconds(20)));
        continue;
      }
      if (SendGathered(room) == Outcome::Failed)
        return;
    }
  }

  // Leaves the unit dark whatever ended the run. Cut short while it plays,
  // it first gets a short dark lead-out where the beam is, given a moment to
  // begin; then it is stopped. Every wait here is short and bounded.
  void FinishDark(bool cutShort) {
    if (!connection_.Usable())
      return;
    ed::Reply reply;
    if (cutShort && begun_ && last_.PlaybackState == ed::Playback::Playing)
      SendShortLeadOut();
    connection_.Command({'s'}, cutShort ? kCutShortAnswer : kStopAnswer, reply, false);
    connection_.Close();
  }

 private:
  enum class Outcome { Ok, Refused, Restarted, Failed };
  struct Pending {
    StreamPoint Point;
    bool RateQueued = false;  // its 'q' has gone out
  };

  std::size_t Usable() const { return capacity_ - 1; }  // a ring of N places holds N - 1
  std::size_t Target() const { return Usable() - std::max<std::size_t>(Usable() / 64, 4); }
  std::size_t TopUpPoints(double rate) const {
    const double spare_s = static_cast<double>(Target()) / rate - kKeepAtLeast_s;
    const double topUp_s = std::min(std::max(spare_s / 4, kTopUp_s), kLargestTopUp_s);
    const auto wanted = static_cast<std::size_t>(std::llround(rate * topUp_s));
    return std::min(std::max(wanted, kLeastTopUp), Target() / 4);
  }
  double LowMark(double rate) const {
    const double most = static_cast<double>(Target()) - 2.0 * TopUpPoints(rate);
    return std::max(0.0, std::min(rate * kKeepAtLeast_s, most));
  }

  // The rate of the points the unit plays now, as this side asked for it.
  double Rate() const {
    const std::int32_t rate = lastRate_ != 0 ? lastRate_ : stream_.CurrentPointsPerSec();
    return std::max(rate, 1000);
  }

  // The least the unit can hold now by the computer's clock: every point it
  // took in the run, less those the time since the first begin lets it have
  // played, each at its own rate.
  double ClockHeld(Clock::time_point now) {
    if (!clockRunning_)
      return clockQueued_;
    const double budget_s =
        std::chrono::duration<double>(now - clockStart_).count() * (1 + kClockTolerance) +
        kClockSlack_s;
    while (!clockQueue_.empty() && clockUsed_s_ < budget_s) {
      Segment& front = clockQueue_.front();
      const double playable = (budget_s - clockUsed_s_) * front.PointsPerSec;
      const double played = std::min(playable, front.Points);
      front.Points -= played;
      clockQueued_ -= played;
      clockUsed_s_ += played / front.PointsPerSec;
      if (front.Points <= 0.0)
        clockQueue_.pop_front();
    }
    // Time the unit had nothing to play is credit: over the run, no more than
    // the capacity plus the elapsed time at the rate ever goes out.
    if (clockQueue_.empty())
      clockUsed_s_ = std::max(clockUsed_s_, budget_s);
    return std::max(clockQueued_, 0.0);
  }

  // Points waiting in the unit now: the last reported fullness less what has
  // played since (at the slower of its rate and ours), but never less than
  // the clock allows.
  double Fullness(Clock::time_point now, double rate) {
    double reported = last_.BufferFullness;
    if (begun_ && last_.PlaybackState == ed::Playback::Playing) {
      const double unitRate =
          last_.PointsPerSec > 0 ? std::min<double>(last_.PointsPerSec, rate) : rate;
      reported -= std::chrono::duration<double>(now - lastAt_).count() * unitRate;
    }
    return std::max({reported, ClockHeld(now), 0.0});
  }

  // Up to the target. The estimate errs on the full side (the unit played
  // since its reply was composed, not only since it arrived).
  std::size_t Room(double fullness) const {
    return static_cast<std::size_t>(std::max(0.0, static_cast<double>(Target()) - fullness));
  }

  // Points to send next, pulled from the stream unless some are left from a
  // refusal. Dark padding only when the unit would otherwise run low, and only
  // up to a little above that, so a late frame does not queue behind it; the
  // unit starts with half its target, so a short first frame does not leave
  // it playing on the edge while the next one is built.
  bool Gather(std::size_t room, double fullness, double rate) {
    if (!unsent_.empty())
      return true;
    const double low = LowMark(rate);
    std::size_t minimum = 0;
    if (!begun_)
      minimum = Target() / 2;
    else if (fullness < low)
      minimum = static_cast<std::size_t>(std::ceil(low - fullness)) + TopUpPoints(rate);
    pulled_.resize(room);
    const std::size_t count = stream_.Pull(pulled_, std::min(minimum, room));
    for (std::size_t i = 0; i < count; ++i)
      unsent_.push_back({pulled_[i], false});
    return count > 0;
  }

  Outcome SendGathered(std::size_t room) {
    const std::size_t count = std::min(room, unsent_.size());
    const std::span<Pending> points(unsent_.data(), count);
    for (Pending& pending : points) {
      if (pending.Point.RateChange && !pending.RateQueued) {
        const auto rate = static_cast<std::uint32_t>(pending.Point.PointsPerSec);
        const Outcome outcome = Send(ed::QueueRateCommand(rate));
        if (outcome != Outcome::Ok)
          return outcome;
        pending.RateQueued = true;
      }
    }
    wire_.clear();
    for (const Pending& pending : points)
      wire_.push_back(pending.Point);
    packet_.clear();
    ed::AppendDataCommand(wire_, packet_);
    const std::int32_t firstRate = points[0].Point.PointsPerSec;
    const Outcome outcome = Send(packet_, points);  // `points` is gone once taken
    if (outcome != Outcome::Ok || begun_)
      return outcome;
    // The unit holds points now and may begin, at the rate they start with.
    return Send(ed::BeginCommand(static_cast<std::uint32_t>(firstRate)));
  }

  // What the unit took: its playing time counts against the clock, and the
  // frames it starts are on the wire.
  void TakeIn(std::span<const Pending> points, Clock::time_point now) {
    std::uint64_t frames = 0;
    for (const Pending& pending : points) {
      const double pointsPerSec = std::max(pending.Point.PointsPerSec, 1);
      if (clockQueue_.empty() || clockQueue_.back().PointsPerSec != pointsPerSec)
        clockQueue_.push_back({0.0, pointsPerSec});
      clockQueue_.back().Points += 1.0;
      frames += pending.Point.FrameStart ? 1 : 0;
    }
    clockQueued_ += static_cast<double>(points.size());
    if (frames > 0 && framesOnWire_)
      framesOnWire_(frames);
    NoteFrameStarts(points, now);
    sincePrepare_ += points.size();
    lastRate_ = points.back().Point.PointsPerSec;
    unsent_.erase(unsent_.begin(), unsent_.begin() + static_cast<std::ptrdiff_t>(points.size()));
  }

  // The unit plays what it holds in order: a frame's first point among those
  // it just took plays once everything ahead of it has.
  void NoteFrameStarts(std::span<const Pending> points, Clock::time_point now) {
    if (std::none_of(points.begin(), points.end(),
                     [](const Pending& pending) { return pending.Point.FrameStart; }))
      return;
    const double ahead = Fullness(now, Rate()) - static_cast<double>(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (!points[i].Point.FrameStart)
        continue;
      const double wait_s =
          std::max(ahead + static_cast<double>(i), 0.0) / std::max(points[i].Point.PointsPerSec, 1);
      stream_.FrameStartPlaysAt(
          now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait_s)));
    }
  }

  // Sends one command and takes in the status of its reply. Refused: a
  // buffer-full NAK taught a smaller capacity, nothing was taken. Restarted:
  // the unit had stopped playing and was prepared again. Failed: the stream
  // was told why (unless the run was cut short meanwhile).
  Outcome Send(const std::vector<std::uint8_t>& command, std::span<const Pending> points = {}) {
    ed::Reply reply;
    if (auto failure = connection_.Command(command, timing_.AnswerLimit, reply))
      return Fail(*failure);
    const auto now = Clock::now();
    last_ = reply.State;
    lastAt_ = now;
    const std::uint8_t kind = command[0];
    const bool taken = reply.Response == 'a';
    if (kind == 'd' && taken)
      TakeIn(points, now);
    if (kind == 'b' && taken) {
      begun_ = true;
      if (!clockRunning_) {
        clockRunning_ = true;
        clockStart_ = now;
      }
    }
    if (EmergencyStopped(reply))
      return Fail(who_ + " went into an emergency stop: release it on the unit, then Start again");
    // Ran dry, whether it flags the underflow or only turns data away.
    if (begun_ && reply.State.PlaybackState == ed::Playback::Idle)
      return Restart(now);
    if (kind == 'd' && reply.Response == 'F')
      return LearnCapacity(reply, points.size());
    if (!taken)
      return Fail(who_ + " ended the run: " + ed::NakReason(reply.Response));
    CheckAgainstClock(now);
    return Outcome::Ok;
  }

  Outcome Fail(const std::string& reason) {
    // A wait cut short by the end of the run is no failure of the unit.
    if (!stream_.Interrupted())
      stream_.Fail(reason);
    return Outcome::Failed;
  }

  void NoteFalse(FalseReport kind) { counts_.FalseReports |= kind; }

  // A run of honest reports never says less than the clock allows, nor more
  // than the unit was sent since it was prepared.
  void CheckAgainstClock(Clock::time_point now) {
    const double rate = Rate();
    const double slack = std::max(static_cast<double>(capacity_) / 4, rate * 0.010);
    if (last_.BufferFullness + slack < ClockHeld(now))
      NoteFalse(kEmptierThanPossible);
    if (last_.BufferFullness > sincePrepare_)
      NoteFalse(kPointsNeverSent);
  }

  Outcome Restart(Clock::time_point now) {
    const double rate = Rate();
    if (ClockHeld(now) > std::max(static_cast<double>(capacity_) / 4, rate * 0.010))
      NoteFalse(kDryWhileHolding);  // not counted as an underrun: the clock says otherwise
    else
      ++counts_.Underruns;
    begun_ = false;
    for (Pending& pending : unsent_)
      pending.RateQueued = false;  // a prepare forgets the queued rates
    ed::Reply reply;
    if (auto failure = connection_.Command({'p'}, timing_.AnswerLimit, reply))
      return Fail(*failure);
    last_ = reply.State;
    lastAt_ = Clock::now();
    if (reply.Response != 'a')
      return Fail(who_ + " cannot restart: " + ed::NakReason(reply.Response));
    sincePrepare_ = 0;
    return Outcome::Restarted;
  }

  // The unit had no room for `sent` more points. When they would have fitted
  // beside what it reports holding, its capacity is below that sum, whatever
  // it announced; otherwise the estimate was early, and its fresh status
  // (taken in already) sets it right.
  Outcome LearnCapacity(const ed::Reply& reply, std::size_t sent) {
    const std::size_t shown = reply.State.BufferFullness + sent;  // one more than it holds
    if (shown > Usable())
      return Outcome::Refused;
    const std::size_t learnt = std::min(capacity_ - 1, shown);
    if (learnt < kLeastCapacity)
      return Fail(who_ + " keeps refusing points (NAK 'F') though it reports holding only " +
                  std::to_string(reply.State.BufferFullness));
    capacity_ = learnt;
    counts_.LearntCapacity = learnt;
    return Outcome::Refused;
  }

  void SendShortLeadOut() {
    const double rate = Rate();
    const double before = Fullness(Clock::now(), rate);
    const std::size_t wanted =
        std::max<std::size_t>(1, static_cast<std::size_t>(std::llround(rate * kShortLeadOut_s)));
    const std::size_t count = std::min(wanted, Room(before));
    if (count == 0)
      return;         // no room at all: the stop is all there is
    unsent_.clear();  // lit points never sent stay unsent
    pulled_.resize(count);
    wire_.assign(pulled_.begin(), pulled_.begin() + stream_.Pull(pulled_, count));
    if (wire_.empty())
      return;
    packet_.clear();
    ed::AppendDataCommand(wire_, packet_);
    ed::Reply reply;
    if (connection_.Command(packet_, kCutShortAnswer, reply, false) || reply.Response != 'a')
      return;
    // The stop waits until the unit itself reports that it plays the dark
    // points (what it held before has played out), not until the computer's
    // clock says it should: a late unit would otherwise stop on a lit point.
    // Bounded: a unit that holds more than that is stopped all the same.
    const auto until = Clock::now() + kCutShortClose;
    const std::size_t inTheDark = wire_.size() / 2;
    while (reply.State.BufferFullness > inTheDark && Clock::now() < until) {
      std::this_thread::sleep_for(milliseconds(2));
      if (connection_.Command({'?'}, kCutShortAnswer, reply, false))
        return;
    }
  }

  EtherDreamConnection& connection_;
  PointStream& stream_;
  const EtherDreamTiming& timing_;
  const std::string& who_;
  std::size_t capacity_;  // as far as known: announced, or learnt from refusals
  EtherDreamCounts& counts_;
  const std::atomic<std::size_t>& leadOutPoints_;
  const std::function<void(std::uint64_t)>& framesOnWire_;

  ed::Status last_;  // the last status the unit reported, and when
  Clock::time_point lastAt_ = Clock::now();
  bool begun_ = false;
  // Points the unit took, in runs of one rate, that the clock does not yet
  // let it have played; the clock runs from the first begin on.
  struct Segment {
    double Points;
    double PointsPerSec;
  };
  bool clockRunning_ = false;
  Clock::time_point clockStart_{};
  std::deque<Segment> clockQueue_;
  double clockQueued_ = 0.0;      // their sum
  double clockUsed_s_ = 0.0;      // clock time the points let go of took
  std::size_t sincePrepare_ = 0;  // points it took since the last prepare
  std::int32_t lastRate_ = 0;     // the rate of the last point it took
  std::vector<Pending> unsent_;   // pulled from the stream, not yet taken
  std::vector<StreamPoint> pulled_;
  std::vector<StreamPoint> wire_;
  std::vector<std::uint8_t> packet_;
};

}  // namespace

EtherDreamDriver::EtherDreamDriver(EtherDreamTarget target, EtherDreamTiming timing)
    : PointStreamDevice(engine::ShownText(target.Name, 64), timing.StallLimit),
      target_(std::move(target)),
      timing_(timing),
      name_(engine::ShownText(target_.Name, 64)),
      who_(NameWithAddress(name_, target_.Address)) {}

EtherDreamDriver::~EtherDreamDriver() {
  StopIo();
  if (inUse_ && target_.OnUse)
    target_.OnUse(false);
}

DacFailure EtherDreamDriver::OpenDac(engine::GeneratorState&) {
  connection_ = std::make_unique<EtherDreamConnection>(who_, &wake_);
  if (auto failure = Prepare()) {
    // Cut short after the unit answered: it may have been told to stop or
    // prepare, so it is stopped, briefly, before the connection goes.
    if (wake_.Raised() && connection_->Usable()) {
      ed::Reply ignored;
      connection_->Command({'s'}, kCutShortAnswer, ignored, false);
    }
    connection_.reset();
    return TellOnce(failure);
  }
  inUse_ = true;
  if (target_.OnUse)
    target_.OnUse(true);
  io_ = std::thread([this] { IoMain(); });
  SetStreaming(true);
  return std::nullopt;
}

DacFailure EtherDreamDriver::Prepare() {
  ed::Reply reply;
  if (auto failure = connection_->Connect(target_.Address, timing_.ConnectLimit))
    return failure;
  if (auto failure = connection_->Greeting(timing_.AnswerLimit, reply))
    return failure;
  if (reply.State.LightEngineState == ed::kLightEngineEmergencyStop)
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

DacFailure EtherDreamDriver::CloseDac() {
  if (io_.joinable() && !wake_.Raised()) {
    const std::size_t capacity = PlausibleCapacity(target_.Capacity);
    const std::int32_t rate = std::max(Stream().CurrentPointsPerSec(), 1000);
    // 40 ms of dark points, so the unit is stopped on a blanked beam.
    const std::size_t leadOut =
        std::min<std::size_t>(static_cast<std::size_t>(rate) / 25, capacity / 2);
    leadOutPoints_ = leadOut;
    Stream().Close(leadOut);
    // What is still queued plays out; a unit that stalls meanwhile is given
    // up after the stall limit. Interrupt cuts the wait short.
    const auto playOut =
        milliseconds(1000 * (Stream().ReadyPoints() + capacity) / static_cast<std::size_t>(rate));
    const auto deadline = Clock::now() + playOut + timing_.StallLimit + timing_.AnswerLimit;
    while (!ioDone_ && !wake_.Raised() && Clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(5));
    if (!ioDone_ && !wake_.Raised())
      Stream().Fail(who_ + " did not finish playing the last frame in time and was stopped");
  }
  StopIo();
  connection_.reset();
  if (inUse_ && target_.OnUse)
    target_.OnUse(false);
  inUse_ = false;
  SetStreaming(false);
  return TellOnce(Stream().Failure());
}

void EtherDreamDriver::Interrupt() {
  wake_.Raise();
  Stream().Interrupt();
}

std::string EtherDreamDriver::StatusNote() const {
  std::vector<std::string> notes;
  if (const unsigned lies = counts_.FalseReports; lies != 0) {
    std::string how;
    if (lies & kEmptierThanPossible)
      how = "it reports an emptier buffer than it can have";
    else if (lies & kDryWhileHolding)
      how = "it reports running dry while it must still hold points";
    else
      how = "it reports points it was never sent";
    notes.push_back(name_ + "'s reports contradict the computer's clock (" + how +
                    "): the output is paced by the clock");
  }
  if (const int underruns = counts_.Underruns; underruns != 0)
    notes.push_back(std::to_string(underruns) + (underruns == 1 ? " underrun" : " underruns") +
                    ": the unit ran dry and was restarted");
  if (const std::size_t learnt = counts_.LearntCapacity; learnt != 0)
    notes.push_back(name_ + " holds only " + std::to_string(learnt) +
                    " points, fewer than it announced");
  std::string note;
  for (const std::string& part : notes)
    note += (note.empty() ? "" : "; ") + part;
  return note;
}

void EtherDreamDriver::StopIo() {
  if (!io_.joinable())
    return;
  if (!ioDone_)
    Interrupt();  // the thread ends its waits and leaves the unit dark
  io_.join();
}

void EtherDreamDriver::IoMain() {
  Feeder feeder(*connection_, Stream(), timing_, who_, PlausibleCapacity(target_.Capacity), counts_,
                leadOutPoints_, target_.OnFramesOnWire);
  feeder.Run();
  feeder.FinishDark(Stream().Interrupted());
  ioDone_ = true;
}

}  // namespace whorlgen::lasers
