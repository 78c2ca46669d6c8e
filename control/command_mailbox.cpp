#include "control/command_mailbox.h"

#include <algorithm>

namespace whorlgen::control {

namespace {

bool KeepsItsPlace(const Command& command) {
  return command.Kind == CommandKind::Start || command.Kind == CommandKind::Stop ||
         command.Kind == CommandKind::OpenPreset;
}

// Later values of the same control supersede earlier ones.
bool Supersedes(const Command& later, const Command& earlier) {
  if (later.Kind != earlier.Kind)
    return false;
  switch (later.Kind) {
    case CommandKind::SetBar:
      return later.Text == earlier.Text;
    case CommandKind::SetMode:
    case CommandKind::SetLimitVelocity:
    case CommandKind::SetShowDots:
    case CommandKind::SetIldaOutput:
    case CommandKind::SetModulationBypass:
      return true;
    case CommandKind::Start:
    case CommandKind::Stop:
    case CommandKind::OpenPreset:
      return false;
  }
  return false;
}

}  // namespace

bool CommandMailbox::Post(Command command) {
  const std::lock_guard lock(mutex_);
  const bool wasEmpty = pending_.empty();
  // Only values waiting after the last Start, Stop or preset can be replaced.
  const auto barrier = std::find_if(pending_.rbegin(), pending_.rend(), KeepsItsPlace).base();
  const auto same = std::find_if(barrier, pending_.end(), [&](const Command& waiting) {
    return Supersedes(command, waiting);
  });
  if (same != pending_.end())
    *same = std::move(command);
  else if (pending_.size() < kMaxPending)
    pending_.push_back(std::move(command));
  else
    ++dropped_;
  return wasEmpty;
}

std::vector<Command> CommandMailbox::Take() {
  const std::lock_guard lock(mutex_);
  std::vector<Command> taken;
  taken.swap(pending_);
  return taken;
}

std::uint64_t CommandMailbox::Dropped() const {
  const std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace whorlgen::control
