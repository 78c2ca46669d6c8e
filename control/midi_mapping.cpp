#include "control/midi_mapping.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace whorlgen::control {

namespace {

constexpr int kFineOffset = 32;  // controller n + 32 carries the fine part of n
constexpr int kCoarseControllers = 32;
constexpr int kSevenBitFull = 127;
constexpr int kFourteenBitFull = 16383;
constexpr int kButtonPressed = 64;

bool IsMidiNumber(int n) {
  return n >= 0 && n <= 127;
}

}  // namespace

std::string ModeTarget(int mode) {
  return "mode" + std::to_string(mode);
}

MidiMapping::MidiMapping(std::vector<BarRange> bars) : bars_(std::move(bars)) {}

void MidiMapping::BeginLearn() {
  learning_ = true;
  learnTarget_.clear();
}

void MidiMapping::CancelLearn() {
  learning_ = false;
  learnTarget_.clear();
}

void MidiMapping::ChooseTarget(const std::string& target) {
  if (learning_ && IsTarget(target))
    learnTarget_ = target;
}

bool MidiMapping::IsTarget(const std::string& target) const {
  if (IsBar(target) || target == kStartTarget || target == kStopTarget)
    return true;
  for (int mode = 1; mode <= kModeCount; ++mode)
    if (target == ModeTarget(mode))
      return true;
  return false;
}

// Bars follow knobs and faders only; a note would move a bar by its velocity.
bool MidiMapping::Suits(const std::string& target, const MidiEvent& event) const {
  if (IsBar(target))
    return event.Type == MidiEvent::Kind::ControlChange;
  if (event.Type == MidiEvent::Kind::NoteOn || event.Type == MidiEvent::Kind::ControlChange)
    return event.Value > 0;  // a release or a note-off in disguise teaches nothing
  return true;
}

MidiBinding* MidiMapping::Find(MidiEvent::Kind type, int channel, int number) {
  const auto it = std::find_if(bindings_.begin(), bindings_.end(), [&](const MidiBinding& b) {
    return b.Type == type && b.Channel == channel && b.Number == number;
  });
  return it != bindings_.end() ? &*it : nullptr;
}

std::optional<Command> MidiMapping::Handle(const MidiEvent& event) {
  if (event.Channel < 0 || event.Channel > 15 || !IsMidiNumber(event.Number) ||
      !IsMidiNumber(event.Value))
    return std::nullopt;
  if (learning_ && !learnTarget_.empty() && Suits(learnTarget_, event)) {
    Bind({learnTarget_, event.Type, event.Channel, event.Number, false});
    CancelLearn();
    return std::nullopt;
  }
  if (event.Type == MidiEvent::Kind::ControlChange && event.Number < kCoarseControllers)
    coarse_[event.Channel][event.Number] = event.Value;

  MidiBinding* binding = Find(event.Type, event.Channel, event.Number);
  if (binding == nullptr)
    return FineControl(event);
  if (IsBar(binding->Target)) {
    // A new coarse part clears the fine one, as the pair's senders expect.
    return binding->FourteenBit ? BarPosition(*binding, event.Value << 7, kFourteenBitFull)
                                : BarPosition(*binding, event.Value, kSevenBitFull);
  }
  if (event.Type == MidiEvent::Kind::ControlChange && event.Value < kButtonPressed)
    return std::nullopt;  // a button's release
  if (event.Type == MidiEvent::Kind::NoteOn && event.Value == 0)
    return std::nullopt;  // a note-off sent as a note-on
  return Action(binding->Target);
}

// Controller n + 32 with no binding of its own is the fine part of a bar
// bound to n: from now on that bar follows all 14 bits.
std::optional<Command> MidiMapping::FineControl(const MidiEvent& event) {
  if (event.Type != MidiEvent::Kind::ControlChange || event.Number < kFineOffset ||
      event.Number >= kFineOffset + kCoarseControllers)
    return std::nullopt;
  const int coarseNumber = event.Number - kFineOffset;
  MidiBinding* coarse = Find(MidiEvent::Kind::ControlChange, event.Channel, coarseNumber);
  if (coarse == nullptr || !IsBar(coarse->Target))
    return std::nullopt;
  coarse->FourteenBit = true;
  const int value = (coarse_[event.Channel][coarseNumber] << 7) | event.Value;
  return BarPosition(*coarse, value, kFourteenBitFull);
}

std::optional<Command> MidiMapping::BarPosition(const MidiBinding& binding, int value,
                                                int full) const {
  const BarRange* bar = FindBar(bars_, binding.Target);
  const double span = static_cast<double>(bar->Highest) - bar->Lowest;
  // Ties go to the even neighbour, as everywhere on the panel.
  const int position =
      bar->Lowest + static_cast<int>(std::nearbyint(span * value / static_cast<double>(full)));
  return Command{CommandKind::SetBar, bar->Name, bar->Clamp(position)};
}

std::optional<Command> MidiMapping::Action(const std::string& target) {
  if (target == kStartTarget)
    return Command{CommandKind::Start, {}, 0};
  if (target == kStopTarget)
    return Command{CommandKind::Stop, {}, 0};
  for (int mode = 1; mode <= kModeCount; ++mode)
    if (target == ModeTarget(mode))
      return Command{CommandKind::SetMode, {}, mode};
  return std::nullopt;
}

void MidiMapping::Bind(const MidiBinding& binding) {
  std::erase_if(bindings_, [&](const MidiBinding& b) {
    return b.Target == binding.Target ||
           (b.Type == binding.Type && b.Channel == binding.Channel && b.Number == binding.Number);
  });
  bindings_.push_back(binding);
}

void MidiMapping::Forget(const std::string& target) {
  std::erase_if(bindings_, [&](const MidiBinding& b) { return b.Target == target; });
}

std::string MidiMapping::FormatMessage(const MidiBinding& binding) {
  const char* kind = "cc";
  if (binding.Type == MidiEvent::Kind::NoteOn)
    kind = "note";
  else if (binding.Type == MidiEvent::Kind::ProgramChange)
    kind = "program";
  else if (binding.FourteenBit)
    kind = "cc14";
  return std::string(kind) + " " + std::to_string(binding.Channel + 1) + " " +
         std::to_string(binding.Number);
}

std::string MidiMapping::DescribeMessage(const MidiBinding& binding) {
  std::string message;
  switch (binding.Type) {
    case MidiEvent::Kind::ControlChange:
      message = "CC " + std::to_string(binding.Number);
      if (binding.FourteenBit)
        message += " + " + std::to_string(binding.Number + kFineOffset) + " (14-bit)";
      break;
    case MidiEvent::Kind::NoteOn:
      message = "note " + std::to_string(binding.Number);
      break;
    case MidiEvent::Kind::ProgramChange:
      message = "program " + std::to_string(binding.Number);
      break;
  }
  return message + ", channel " + std::to_string(binding.Channel + 1);
}

std::optional<MidiBinding> MidiMapping::ParseBinding(const std::string& target,
                                                     std::string_view text) const {
  std::istringstream in{std::string(text)};
  std::string kind;
  int channel = 0;
  int number = 0;
  std::string rest;
  if (!(in >> kind >> channel >> number) || (in >> rest) || channel < 1 || channel > 16 ||
      !IsMidiNumber(number) || !IsTarget(target))
    return std::nullopt;
  MidiBinding binding{target, MidiEvent::Kind::ControlChange, channel - 1, number, false};
  if (kind == "note")
    binding.Type = MidiEvent::Kind::NoteOn;
  else if (kind == "program")
    binding.Type = MidiEvent::Kind::ProgramChange;
  else if (kind == "cc14")
    binding.FourteenBit = number < kCoarseControllers;
  else if (kind != "cc")
    return std::nullopt;
  if (IsBar(target) && binding.Type != MidiEvent::Kind::ControlChange)
    return std::nullopt;
  return binding;
}

}  // namespace whorlgen::control
