#pragma once
// The panel's bars as the world outside the program sees them. A bar's
// position is the panel's own business; what crosses the program's edge (an
// OSC message, a preset, a modulation row, the README) is the number its
// value label shows, in the label's unit: X Freq 24.6 Hz rather than
// position 123, PPSec 30000 points/s rather than position 15000.

#include <span>
#include <string>
#include <string_view>

namespace whorlgen::engine {

struct PanelBar {
  std::string_view Name;      // the bar's control name, "scrXFreq"; also accepted at the edge
  std::string_view EdgeName;  // its readable name at the edge, "x_freq"
  std::string_view Caption;   // the caption above it, "X Freq"
  std::string_view Unit;      // the label's unit, "Hz"
  int Lowest = 0;             // the smallest and largest position
  int Highest = 0;
  // The label shows position × Times / Per.
  int Times = 1;
  int Per = 1;
};

// The fourteen bars, in the panel's order from left to right, X Phase last.
std::span<const PanelBar> PanelBars();
// By readable name or control name; nullptr for any other.
const PanelBar* FindPanelBar(std::string_view name);
// By readable name only.
const PanelBar* FindPanelBarByEdgeName(std::string_view edgeName);

// The number the label shows at a position.
double ShownValue(const PanelBar& bar, int position);
// True where that number is whole (every position of most bars).
bool ShownValueIsWhole(const PanelBar& bar, int position);
// The position whose label shows the number nearest to `shown`, taken to the
// bar's nearer end beyond its range; halfway between two steps goes to the
// even position. NaN gives the lowest position.
int PositionForShown(const PanelBar& bar, double shown);

// A number as the edge writes it: shortest decimal form, '.' as the point.
std::string EdgeNumber(double value);

}  // namespace whorlgen::engine
