#pragma once
// What a remote surface (a MIDI controller, an OSC tablet, a preset) asks of
// the panel, in the panel's own terms: bar positions as the panel shows them,
// the mode 1..6, the check boxes, Start and Stop. Plain data: no toolkit.

#include <span>
#include <string>

namespace whorlgen::control {

// One of the panel's fourteen bars: its control name and the smallest and
// largest position it can take (whichever end of the bar they sit at).
struct BarRange {
  std::string Name;  // "scrXGain"
  int Lowest = 0;
  int Highest = 0;

  int Clamp(int position) const;

  friend bool operator==(const BarRange&, const BarRange&) = default;
};

// The bar of that name, or nullptr.
const BarRange* FindBar(std::span<const BarRange> bars, std::string_view name);

enum class CommandKind {
  SetBar,            // Text = control name, Value = position
  SetMode,           // Value = 1..6
  SetLimitVelocity,  // Value = 0 | 1
  SetShowDots,       // Value = 0 | 1
  SetIldaOutput,     // Value = 0 | 1; honoured only while stopped
  Start,
  Stop,
  OpenPreset,           // Text = path of the preset file
  SetModulationBypass,  // Value = 0 | 1
};

struct Command {
  CommandKind Kind = CommandKind::Start;
  std::string Text;
  int Value = 0;

  friend bool operator==(const Command&, const Command&) = default;
};

inline constexpr int kModeCount = 6;

}  // namespace whorlgen::control
