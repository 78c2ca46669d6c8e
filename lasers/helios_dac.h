#pragma once
// The Helios laser DAC on USB (vendor 0x1209, product 0xE500). It plays whole
// frames of at most 4096 points, double-buffered: while one frame plays, the
// next waits in the DAC, and a DAC given nothing new plays its last frame
// again. The run's device thread writes each frame as soon as the DAC has
// room; when the program has no frame ready in time, a guard thread writes a
// short blanked frame at the beam's last position, so a lit frame is never
// left repeating.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lasers/usb_link.h"
#include "output/dac_catalog.h"

namespace whorlgen::lasers {

inline constexpr std::uint16_t kHeliosVendor = 0x1209;
inline constexpr std::uint16_t kHeliosProduct = 0xE500;
inline constexpr std::size_t kHeliosMaxPoints = 4096;

// The frame's parts, in order: as equal as can be (a short tail part would
// play out before the host could follow it), each at most 4096 points and
// none of a size the DAC's firmware mishandles.
std::vector<std::size_t> HeliosPartSizes(std::size_t points);

struct HeliosTiming {
  // A DAC that stays busy this long beyond what its buffered frames need has
  // stopped taking frames.
  std::chrono::milliseconds StallLimit{2000};
  // A frame must be on its way this long before the one playing ends.
  std::chrono::milliseconds Margin{4};
  // The playing time of a blanked gap-filling frame.
  std::chrono::milliseconds BlankLength{10};
};

class HeliosFamily : public output::DacFamily {
 public:
  explicit HeliosFamily(std::shared_ptr<UsbBus> bus, HeliosTiming timing = {});
  ~HeliosFamily() override;
  std::string Kind() const override { return "Helios"; }
  // Looks for Helios DACs on USB at the next Devices().
  void Scan() override;
  // The DACs plugged in, as last looked at. The bus is looked at on the
  // first call, after a Scan and whenever the bus tells of a Helios DAC
  // plugged in or out; names are read once per plugged device.
  std::vector<output::DacInfo> Devices() override;
  std::unique_ptr<output::DacDriver> MakeDriver(const output::DacInfo& dac) override;
  // Passive where libusb tells of hot-plugging; elsewhere only a Scan looks.
  void WatchChanges(std::function<void()> changed) override;

 private:
  void Look();

  std::shared_ptr<UsbBus> bus_;
  HeliosTiming timing_;
  std::map<std::string, output::DacInfo> byPlace_;  // devices found, by their place on the bus
  std::atomic<bool> lookNeeded_{true};
  std::unique_ptr<UsbWatch> watch_;
};

std::unique_ptr<output::DacDriver> MakeHeliosDriver(std::shared_ptr<UsbBus> bus,
                                                    const output::DacInfo& dac,
                                                    HeliosTiming timing = {});

}  // namespace whorlgen::lasers
