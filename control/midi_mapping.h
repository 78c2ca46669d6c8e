#pragma once
// MIDI learn and the mapping from a controller's messages to the panel.
//
// Learn takes three steps: BeginLearn (the operator chooses "Learn MIDI"),
// ChooseTarget (the operator moves a bar or clicks Start, Stop or a mode) and
// the next suitable message from the controller, which is bound to it.
//
// A control change drives a bar over its whole range, 0 giving its lowest
// position and 127 its highest. Controllers with fine knobs send a pair: the
// coarse part on controller n (0..31) and the fine part on n + 32; once a
// fine part has been seen, the bar follows all 14 bits (0..16383).
// Start, Stop and the six modes follow a note-on, a program change, or a
// button sending a control change (pressed at 64 and above).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/command.h"

namespace whorlgen::control {

struct MidiEvent {
  enum class Kind { ControlChange, NoteOn, ProgramChange };
  Kind Type = Kind::ControlChange;
  int Channel = 0;  // 0..15
  int Number = 0;   // controller, note or program number, 0..127
  int Value = 0;    // controller value or velocity, 0..127
};

struct MidiBinding {
  std::string Target;  // a bar's control name, "start", "stop" or "mode1".."mode6"
  MidiEvent::Kind Type = MidiEvent::Kind::ControlChange;
  int Channel = 0;
  int Number = 0;
  bool FourteenBit = false;  // control changes n and n + 32 form one value

  friend bool operator==(const MidiBinding&, const MidiBinding&) = default;
};

// Targets other than bars.
inline constexpr std::string_view kStartTarget = "start";
inline constexpr std::string_view kStopTarget = "stop";
std::string ModeTarget(int mode);  // "mode1".."mode6"

class MidiMapping {
 public:
  explicit MidiMapping(std::vector<BarRange> bars);

  void BeginLearn();
  void CancelLearn();
  bool Learning() const { return learning_; }
  // The control the operator touched while learning; unknown targets are ignored.
  void ChooseTarget(const std::string& target);
  const std::string& LearnTarget() const { return learnTarget_; }

  // One message from the controller. While a learn target is chosen, a
  // suitable message is bound to it and gives no command.
  std::optional<Command> Handle(const MidiEvent& event);

  // A binding replaces any other for the same target or the same message.
  void Bind(const MidiBinding& binding);
  void Forget(const std::string& target);
  const std::vector<MidiBinding>& Bindings() const { return bindings_; }

  // Settings text of a binding's message: "cc 1 7", "cc14 1 7", "note 10 36",
  // "program 1 5" (channel 1..16, then the number).
  static std::string FormatMessage(const MidiBinding& binding);
  // The message as the operator reads it: "CC 7, channel 1", "CC 7 + 39
  // (14-bit), channel 1", "note 36, channel 10", "program 5, channel 1".
  static std::string DescribeMessage(const MidiBinding& binding);
  std::optional<MidiBinding> ParseBinding(const std::string& target, std::string_view text) const;

 private:
  bool IsTarget(const std::string& target) const;
  bool IsBar(const std::string& target) const { return FindBar(bars_, target) != nullptr; }
  bool Suits(const std::string& target, const MidiEvent& event) const;
  MidiBinding* Find(MidiEvent::Kind type, int channel, int number);
  std::optional<Command> FineControl(const MidiEvent& event);
  std::optional<Command> BarPosition(const MidiBinding& binding, int value, int full) const;
  static std::optional<Command> Action(const std::string& target);

  std::vector<BarRange> bars_;
  std::vector<MidiBinding> bindings_;
  // The last coarse part of controllers 0..31 on each channel, for the fine
  // part that follows it.
  int coarse_[16][32] = {};
  bool learning_ = false;
  std::string learnTarget_;
};

}  // namespace whorlgen::control
