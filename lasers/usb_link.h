#pragma once
// The thin layer just below libusb that the USB DAC back-ends talk through.
// The real one (UsbBusLibusb) calls libusb-1.0; the tests put a replay of the
// device's transfers in its place. Results are libusb's: 0 or a negative
// LIBUSB_ERROR_* code, explained in words by UsbErrorText.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace whorlgen::lasers {

// One opened device whose interface has been claimed; released and closed
// when the object goes.
class UsbLink {
 public:
  UsbLink(const UsbLink&) = delete;
  UsbLink& operator=(const UsbLink&) = delete;
  virtual ~UsbLink() = default;

  // Writes `data` to an OUT endpoint, or reads into it from an IN endpoint;
  // `transferred` gets the bytes moved.
  virtual int Interrupt(std::uint8_t endpoint, std::span<std::uint8_t> data, int& transferred,
                        std::chrono::milliseconds timeout) = 0;
  virtual int Bulk(std::uint8_t endpoint, std::span<std::uint8_t> data, int& transferred,
                   std::chrono::milliseconds timeout) = 0;

 protected:
  UsbLink() = default;
};

// A watch on devices being plugged in and out; it ends when the object goes.
class UsbWatch {
 public:
  UsbWatch(const UsbWatch&) = delete;
  UsbWatch& operator=(const UsbWatch&) = delete;
  virtual ~UsbWatch() = default;

 protected:
  UsbWatch() = default;
};

struct UsbOpenResult {
  std::unique_ptr<UsbLink> Link;  // null when the open failed
  int Error = 0;
};

class UsbBus {
 public:
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;
  virtual ~UsbBus() = default;

  // The devices with this vendor and product now plugged in, each by its
  // place on the bus ("1-4.2"), which stays the same while it stays plugged.
  virtual std::vector<std::string> Find(std::uint16_t vendor, std::uint16_t product) = 0;
  // Opens the device at `place` and claims `interface` in `altSetting`.
  virtual UsbOpenResult Open(const std::string& place, int interface, int altSetting) = 0;
  // Calls `changed` (on a thread of the bus's own, briefly) whenever a device
  // with this vendor and product is plugged in or out, from the moment of the
  // call. Null where the system tells no such news: then only Find knows.
  virtual std::unique_ptr<UsbWatch> WatchPlugging(std::uint16_t /*vendor*/,
                                                  std::uint16_t /*product*/,
                                                  std::function<void()> /*changed*/) {
    return nullptr;
  }

 protected:
  UsbBus() = default;
};

// libusb-1.0. When libusb cannot start, Find lists nothing and Open reports
// why.
std::unique_ptr<UsbBus> MakeLibusbBus();

// libusb's own words for a result ("No such device (it may have been
// disconnected)").
std::string UsbErrorText(int error);

}  // namespace whorlgen::lasers
