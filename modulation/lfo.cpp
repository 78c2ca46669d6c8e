#include "modulation/lfo.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace whorlgen::modulation {

namespace {

constexpr struct {
  LfoShape Shape;
  std::string_view Name;
} kShapeNames[] = {
    {LfoShape::Sine, "sine"},     {LfoShape::Triangle, "triangle"},         {LfoShape::Saw, "saw"},
    {LfoShape::Square, "square"}, {LfoShape::SampleAndHold, "sample_hold"},
};

constexpr std::uint64_t kRandomSeed = 0x9E3779B97F4A7C15ULL;

}  // namespace

std::string_view ShapeName(LfoShape shape) {
  for (const auto& entry : kShapeNames)
    if (entry.Shape == shape)
      return entry.Name;
  return "sine";
}

std::optional<LfoShape> ShapeFromName(std::string_view name) {
  for (const auto& entry : kShapeNames)
    if (entry.Name == name)
      return entry.Shape;
  return std::nullopt;
}

double ShapeValue(LfoShape shape, double phase) {
  switch (shape) {
    case LfoShape::Sine:
      return std::sin(2.0 * std::numbers::pi * phase);
    case LfoShape::Triangle:
      if (phase < 0.25)
        return 4.0 * phase;
      if (phase < 0.75)
        return 2.0 - 4.0 * phase;
      return 4.0 * phase - 4.0;
    case LfoShape::Saw:
      return 2.0 * phase - 1.0;
    case LfoShape::Square:
    case LfoShape::SampleAndHold:
      return phase < 0.5 ? 1.0 : -1.0;
  }
  return 0.0;
}

void Lfo::Reset() {
  phase_ = 0.0;
  value_ = 0.0;
  holding_ = false;
  random_ = kRandomSeed;
}

double Lfo::NextRandom() {
  // splitmix64: the same sequence on every machine, from the same seed.
  std::uint64_t z = (random_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) / static_cast<double>(1ULL << 52) - 1.0;
}

double Lfo::Advance(const LfoSettings& settings, double seconds, double bpm) {
  const double cyclesPerSecond =
      settings.Synced ? (settings.Beats > 0.0 ? bpm / 60.0 / settings.Beats : 0.0) : settings.Hz;
  const double advanced = phase_ + std::max(seconds, 0.0) * cyclesPerSecond;
  const bool newCycle = advanced >= 1.0 || !holding_;
  phase_ = advanced - std::floor(advanced);
  if (settings.Shape == LfoShape::SampleAndHold) {
    if (newCycle)
      held_ = NextRandom();
    holding_ = true;
    value_ = held_;
  } else {
    value_ = ShapeValue(settings.Shape, phase_);
  }
  return value_;
}

}  // namespace whorlgen::modulation
