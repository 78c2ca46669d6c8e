#pragma once
// Low-frequency oscillators whose clock is the show's playing time, so a
// recorded run repeats exactly. Each runs free in Hz or follows the tempo,
// one cycle in a number of beats.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace whorlgen::modulation {

enum class LfoShape { Sine, Triangle, Saw, Square, SampleAndHold };

std::string_view ShapeName(LfoShape shape);  // "sine", "triangle", "saw", "square", "sample_hold"
std::optional<LfoShape> ShapeFromName(std::string_view name);

struct LfoSettings {
  LfoShape Shape = LfoShape::Sine;
  double Hz = 1.0;      // cycles per second of the show, when free
  bool Synced = false;  // one cycle every `Beats` beats of the detected tempo
  double Beats = 1.0;

  friend bool operator==(const LfoSettings&, const LfoSettings&) = default;
};

// The value of a shape at a phase of 0 (inclusive) to 1 (exclusive), from
// -1 to 1. Sine and triangle start at 0 rising; the saw rises from -1 to 1;
// the square is 1 for the first half of the cycle and -1 for the second.
// Sample-and-hold is not a function of the phase (see Lfo).
double ShapeValue(LfoShape shape, double phase);

class Lfo {
 public:
  Lfo() { Reset(); }
  // Phase 0, and the sample-and-hold sequence from its start.
  void Reset();
  // Moves on by `seconds` of show time at `bpm` (used when synced) and
  // returns the new value. Sample-and-hold takes a new random value from -1
  // to 1 at the start of each cycle, from a sequence that Reset restarts.
  double Advance(const LfoSettings& settings, double seconds, double bpm);
  double Value() const { return value_; }

 private:
  double NextRandom();

  double phase_ = 0.0;
  double value_ = 0.0;
  double held_ = 0.0;
  bool holding_ = false;
  std::uint64_t random_ = 0;
};

}  // namespace whorlgen::modulation
