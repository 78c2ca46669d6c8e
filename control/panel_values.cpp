#include "control/panel_values.h"

namespace whorlgen::control {

std::vector<BarRange> PanelBarRanges() {
  std::vector<BarRange> ranges;
  for (const PanelBar& bar : PanelBars())
    ranges.push_back({std::string(bar.Name), bar.Lowest, bar.Highest});
  return ranges;
}

std::string TargetCaption(std::string_view target) {
  if (const PanelBar* bar = FindPanelBar(target))
    return std::string(bar->Caption);
  if (target == "start")
    return "Start";
  if (target == "stop")
    return "Stop";
  if (target.size() == 5 && target.starts_with("mode") && target[4] >= '1' &&
      target[4] < '1' + kModeCount)
    return "Mode " + std::string(1, target[4]);
  return std::string(target);
}

}  // namespace whorlgen::control
