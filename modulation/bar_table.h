#pragma once
// The fourteen bars of the panel in the numbers the panel shows: each bar's
// OSC-style name, its control name, the range and step of the value its
// label shows, and how that value maps to the bar's position.

#include <span>
#include <string_view>

namespace whorlgen::modulation {

struct BarInfo {
  const char* Name;         // "x_gain"
  const char* ControlName;  // "scrXGain"
  int LowestPosition;
  int HighestPosition;
  // Bar positions per unit of the shown value: 1 for most bars, 5 for the
  // figure frequencies (steps of 0.2 Hz), 1/2 for the points per second
  // (steps of 2). Powers of two and 5 keep the conversions exact.
  double PositionsPerUnit;
};

std::span<const BarInfo> Bars();
const BarInfo* FindBar(std::string_view name);  // by OSC-style name

// The value the bar's label shows at this position.
double ShownValue(const BarInfo& bar, int position);
// The position for a value in the panel's numbers: rounded to the bar's
// step, ties to the even position, and kept within the bar's range.
int PositionFor(const BarInfo& bar, double shownValue);

}  // namespace whorlgen::modulation
