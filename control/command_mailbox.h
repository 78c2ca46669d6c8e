#pragma once
// Commands handed from a receiving thread to the panel's thread. A new value
// for a bar (or the mode, or a check box) replaces one still waiting since
// the last Start, Stop or preset, so a flood of messages leaves at most one
// pending value per control and the panel never falls behind, while nothing
// moves across a Start, a Stop or a preset: each comes between the values
// sent before it and those sent after. Up to a bound beyond which commands
// are dropped and counted.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "control/command.h"

namespace whorlgen::control {

class CommandMailbox {
 public:
  static constexpr std::size_t kMaxPending = 256;

  // True when the box was empty: the reader has to be woken.
  bool Post(Command command);
  std::vector<Command> Take();
  std::uint64_t Dropped() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Command> pending_;
  std::uint64_t dropped_ = 0;
};

}  // namespace whorlgen::control
