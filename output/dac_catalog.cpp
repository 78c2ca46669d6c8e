#include "output/dac_catalog.h"

namespace whorlgen::output {

std::string_view DeviceStateWords(DeviceState state) {
  switch (state) {
    case DeviceState::Idle:
      return "idle";
    case DeviceState::Playing:
      return "playing";
    case DeviceState::Running:
      return "running";
    case DeviceState::BusyWithAnotherComputer:
      return "busy with another computer";
    case DeviceState::BusyWithAnotherProgram:
      return "busy with another program";
    case DeviceState::Unreachable:
      return "unreachable";
    case DeviceState::NotChecked:
      return "added by address, not checked yet";
  }
  return "unknown";
}

}  // namespace whorlgen::output
