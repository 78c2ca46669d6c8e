#pragma once
// The OSC address space of the panel, received over UDP with liblo.
//
//   /whorlgen/<bar name> <int|float>   a bar position as the panel shows it
//   /whorlgen/mode <1..6>
//   /whorlgen/limitvelocity <0|1>, /whorlgen/showdots <0|1>, /whorlgen/ilda <0|1>
//   /whorlgen/start, /whorlgen/stop    (a button's release, an argument 0, does nothing)
//   /whorlgen/preset <path>
//   /whorlgen/modulation/bypass <0|1>
//
// Values beyond a control's range are taken to its nearer end. Messages with
// an unknown address or the wrong arguments, and packets that are not OSC,
// are ignored and counted. Messages arrive on liblo's thread; they wait in a
// mailbox that the panel empties on its own thread.

#include <lo/lo.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "control/command.h"
#include "control/command_mailbox.h"

namespace whorlgen::control {

inline constexpr int kDefaultOscPort = 9000;

struct OscVerdict {
  std::optional<Command> command;
  bool rejected = false;  // unknown address or wrong arguments
};

// What one message asks for. argv holds types.size() arguments.
OscVerdict InterpretOsc(std::span<const BarRange> bars, std::string_view path,
                        std::string_view types, lo_arg** argv);

class OscServer {
 public:
  // wake runs on liblo's thread whenever commands start waiting.
  OscServer(std::vector<BarRange> bars, std::function<void()> wake);
  ~OscServer();
  OscServer(const OscServer&) = delete;
  OscServer& operator=(const OscServer&) = delete;

  // Listens on this UDP port (and no other); an empty string, or why not.
  std::string Listen(int port);
  void Close();
  bool Listening() const { return thread_ != nullptr; }
  int Port() const { return port_; }

  std::vector<Command> Take() { return mailbox_.Take(); }
  // Messages ignored since the server was made, packets that were not OSC
  // included.
  std::uint64_t Ignored() const;

 private:
  static int OnMessage(const char* path, const char* types, lo_arg** argv, int argc,
                       lo_message message, void* self);

  std::vector<BarRange> bars_;
  std::function<void()> wake_;
  CommandMailbox mailbox_;
  lo_server_thread thread_ = nullptr;
  int port_ = 0;
  std::atomic<std::uint64_t> rejected_{0};
  std::uint64_t malformedBefore_ = 0;
  std::uint64_t malformedEarlier_ = 0;  // counted while an earlier port was open
};

}  // namespace whorlgen::control
