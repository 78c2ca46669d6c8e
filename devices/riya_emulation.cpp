// libRiyaNetServer_stdcall.so for a machine without a RIYA driver: one
// emulated device that takes blocks of points and plays each at its point
// rate in real time, holding one block while it plays another. Nothing is
// emitted. A vendor library with the same name placed beside the program
// takes the place of this one.
//
// The period value of RiSetShowCadr counts ticks of a 33.333333 MHz clock
// (about 30 ns each), so a block plays at 33333333 / period points per second.

#include <cstddef>
#include <cstdint>

#include "devices/dac_api.h"
#include "devices/playout_queue.h"

namespace {

using whorlgen::devices::kPollWait;
using whorlgen::devices::PlayingTime;
using whorlgen::devices::PlayoutQueue;
using whorlgen::engine::kPeriodTicksPerSec;

struct Device {
  bool open = false;
  PlayoutQueue output;
};

Device& TheDevice() {
  static Device device;
  return device;
}

}  // namespace

extern "C" {

DAC_ENTRY std::uint8_t RiOpenDevices(void) {
  TheDevice().open = true;
  return 1;  // one device
}

DAC_ENTRY void Ri_InitChanal(std::int32_t /*index*/, std::int32_t /*value*/) {}

DAC_ENTRY void RiSetShowCadr(std::int32_t index, const DacPoint* points, std::int32_t count,
                             std::int32_t period, std::int32_t /*mode*/) {
  Device& device = TheDevice();
  if (!device.open || index != 0 || points == nullptr || count <= 0 || period <= 0)
    return;
  device.output.Take(points, static_cast<std::size_t>(count),
                     PlayingTime(count, kPeriodTicksPerSec / period));
}

DAC_ENTRY std::uint8_t Ri_SetIntCh(std::int32_t index) {
  Device& device = TheDevice();
  if (!device.open || index != 0)
    return 0;
  return device.output.CanTake(kPollWait) ? 1 : 0;
}

DAC_ENTRY void RiStopShow(std::int32_t /*index*/) {
  TheDevice().output.Clear();
}

DAC_ENTRY void RiCloseDevices(void) {
  Device& device = TheDevice();
  device.output.Clear();
  device.open = false;
}

DAC_ENTRY void FreeRecource(void) {
  TheDevice().output.Clear();
}

}  // extern "C"
