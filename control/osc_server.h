#pragma once
// The OSC address space of the panel, received over UDP with liblo.
//
//   /whorlgen/x_freq 24.6             a bar, by its readable name, set to the
//                                     number its label shows, in its unit
//   /whorlgen/scrXFreq 24.6           the same bar by its control name
//   /whorlgen/mode <1..6>
//   /whorlgen/limit_velocity, /whorlgen/show_dots, /whorlgen/ilda_output <0|1>
//   /whorlgen/start, /whorlgen/stop   (a button's release, an argument 0, does nothing)
//   /whorlgen/preset <path>
//   /whorlgen/modulation_bypass <0|1>
//
// OscAddressTable() lists every address with its range and unit. A value
// beyond a control's range is taken to its nearer end, one between two steps
// to the nearest (halfway: the even position). Messages with an unknown
// address or the wrong arguments, packets that are not OSC and messages from
// senders the operator has not allowed are ignored and counted. A bundle is
// carried out when it arrives, whatever its time tag: nothing is held for
// later, so no sender can make the receiver hoard memory. Messages arrive on
// liblo's thread and wait in a mailbox that the panel empties on its own.

#include <lo/lo.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/command.h"
#include "control/command_mailbox.h"

namespace whorlgen::control {

inline constexpr int kDefaultOscPort = 9000;
inline constexpr std::string_view kOscPrefix = "/whorlgen/";

// The senders allowed to play the panel: addresses and networks, IPv4 or
// IPv6 ("192.168.1.0/24, 10.0.0.5, fd00::/8"). An empty list allows anyone.
class SenderFilter {
 public:
  // Entries that are not an address or a network are left out and named in
  // `problems`. A list that names something but nothing usable allows
  // nobody: the operator meant to restrict.
  static SenderFilter Parse(std::string_view list, std::vector<std::string>& problems);

  bool AllowsAnyone() const { return !restricted_; }
  // A sender's numeric address as liblo reports it.
  bool Allows(std::string_view address) const;

 private:
  struct Network {
    bool V6 = false;
    std::array<std::uint8_t, 16> Bytes{};
    int PrefixBits = 0;
  };
  static std::optional<Network> ParseNetwork(std::string_view entry);

  bool restricted_ = false;
  std::vector<Network> networks_;
};

struct OscVerdict {
  std::optional<Command> command;
  std::string problem;  // set when the message is refused
};

// What one message asks for. argv holds types.size() arguments.
OscVerdict InterpretOsc(std::string_view path, std::string_view types, lo_arg** argv);

// Every address with its aliases, argument type, range, unit and control,
// as a Markdown table (the README holds the same).
std::string OscAddressTable();

class OscServer {
 public:
  // wake runs on liblo's thread whenever commands start waiting.
  explicit OscServer(std::function<void()> wake);
  ~OscServer();
  OscServer(const OscServer&) = delete;
  OscServer& operator=(const OscServer&) = delete;

  // Listens on this UDP port (and no other) for the senders the filter
  // allows; an empty string, or why not.
  std::string Listen(int port, SenderFilter senders = {});
  void Close();
  bool Listening() const { return thread_ != nullptr; }
  int Port() const { return port_; }

  std::vector<Command> Take() { return mailbox_.Take(); }
  // Messages ignored since the server was made, packets that were not OSC
  // included.
  std::uint64_t Ignored() const;
  struct Refusal {
    std::chrono::steady_clock::time_point When;
    std::string Why;  // fit to show
  };
  // The last message refused, if any.
  Refusal LastRefusal() const;

 private:
  static int OnMessage(const char* path, const char* types, lo_arg** argv, int argc,
                       lo_message message, void* self);
  void Refuse(std::string why);

  std::function<void()> wake_;
  CommandMailbox mailbox_;
  SenderFilter senders_;
  lo_server_thread thread_ = nullptr;
  int port_ = 0;
  std::atomic<std::uint64_t> rejected_{0};
  std::uint64_t malformedBefore_ = 0;
  std::uint64_t malformedEarlier_ = 0;  // counted while an earlier port was open
  mutable std::mutex refusalMutex_;
  Refusal lastRefusal_;
};

}  // namespace whorlgen::control
