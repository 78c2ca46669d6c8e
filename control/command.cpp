#include "control/command.h"

#include <algorithm>

namespace whorlgen::control {

int BarRange::Clamp(int position) const {
  return std::clamp(position, Lowest, Highest);
}

const BarRange* FindBar(std::span<const BarRange> bars, std::string_view name) {
  const auto it =
      std::find_if(bars.begin(), bars.end(), [name](const BarRange& b) { return b.Name == name; });
  return it != bars.end() ? &*it : nullptr;
}

}  // namespace whorlgen::control
