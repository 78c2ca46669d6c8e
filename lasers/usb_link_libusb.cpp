#include <libusb.h>

#include <array>
#include <climits>
#include <thread>

#include "lasers/usb_link.h"

namespace whorlgen::lasers {
namespace {

unsigned int TimeoutMs(std::chrono::milliseconds timeout) {
  return static_cast<unsigned int>(timeout.count() > 0 ? timeout.count() : 1);
}

class LibusbLink : public UsbLink {
 public:
  LibusbLink(libusb_device_handle* handle, int interface)
      : handle_(handle), interface_(interface) {}
  ~LibusbLink() override {
    libusb_release_interface(handle_, interface_);
    libusb_close(handle_);
  }

  int Interrupt(std::uint8_t endpoint, std::span<std::uint8_t> data, int& transferred,
                std::chrono::milliseconds timeout) override {
    transferred = 0;
    return libusb_interrupt_transfer(handle_, endpoint, data.data(), static_cast<int>(data.size()),
                                     &transferred, TimeoutMs(timeout));
  }
  int Bulk(std::uint8_t endpoint, std::span<std::uint8_t> data, int& transferred,
           std::chrono::milliseconds timeout) override {
    transferred = 0;
    return libusb_bulk_transfer(handle_, endpoint, data.data(), static_cast<int>(data.size()),
                                &transferred, TimeoutMs(timeout));
  }

 private:
  libusb_device_handle* handle_;
  int interface_;
};

// libusb's hotplug news, handled on a thread of its own that sleeps in
// libusb's event wait until a device comes or goes (no periodic wake-up).
class LibusbWatch : public UsbWatch {
 public:
  LibusbWatch(libusb_context* context, std::function<void()> changed)
      : context_(context), changed_(std::move(changed)) {}
  ~LibusbWatch() override {
    stop_ = 1;
    if (registered_)
      libusb_hotplug_deregister_callback(context_, handle_);
    libusb_interrupt_event_handler(context_);
    if (events_.joinable())
      events_.join();
  }

  bool Start(std::uint16_t vendor, std::uint16_t product) {
    const int events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    registered_ = libusb_hotplug_register_callback(context_, events, 0, vendor, product,
                                                   LIBUSB_HOTPLUG_MATCH_ANY, &LibusbWatch::Plugged,
                                                   this, &handle_) == LIBUSB_SUCCESS;
    if (!registered_)
      return false;
    events_ = std::thread([this] {
      while (stop_ == 0) {
        timeval wait{60, 0};
        libusb_handle_events_timeout_completed(context_, &wait, &stop_);
      }
    });
    return true;
  }

 private:
  static int LIBUSB_CALL Plugged(libusb_context*, libusb_device*, libusb_hotplug_event,
                                 void* self) {
    // No transfer here: the family looks at the bus on its own thread.
    static_cast<LibusbWatch*>(self)->changed_();
    return 0;  // stay registered
  }

  libusb_context* context_;
  std::function<void()> changed_;
  libusb_hotplug_callback_handle handle_ = 0;
  bool registered_ = false;
  int stop_ = 0;  // read by libusb's event wait as its "completed" flag
  std::thread events_;
};

// "bus-port.port.port", as the kernel names USB devices in sysfs.
std::string PlaceOf(libusb_device* device) {
  std::array<std::uint8_t, 8> ports{};
  const int depth = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
  std::string place = std::to_string(libusb_get_bus_number(device));
  for (int i = 0; i < depth; ++i)
    place += (i == 0 ? "-" : ".") + std::to_string(ports[static_cast<std::size_t>(i)]);
  return place;
}

class LibusbBus : public UsbBus {
 public:
  LibusbBus() { initError_ = libusb_init(&context_); }
  ~LibusbBus() override {
    if (initError_ == 0)
      libusb_exit(context_);
  }

  std::vector<std::string> Find(std::uint16_t vendor, std::uint16_t product) override {
    std::vector<std::string> places;
    ForEachDevice(vendor, product, [&](libusb_device* device) {
      places.push_back(PlaceOf(device));
      return false;
    });
    return places;
  }

  UsbOpenResult Open(const std::string& place, int interface, int altSetting) override {
    if (initError_ != 0)
      return {nullptr, initError_};
    UsbOpenResult result{nullptr, LIBUSB_ERROR_NO_DEVICE};
    ForEachDevice(0, 0, [&](libusb_device* device) {
      if (PlaceOf(device) != place)
        return false;
      libusb_device_handle* handle = nullptr;
      result.Error = libusb_open(device, &handle);
      if (result.Error != 0)
        return true;
      result.Error = libusb_claim_interface(handle, interface);
      if (result.Error != 0) {
        libusb_close(handle);
        return true;
      }
      result.Error = libusb_set_interface_alt_setting(handle, interface, altSetting);
      result.Link = std::make_unique<LibusbLink>(handle, interface);
      if (result.Error != 0)
        result.Link.reset();
      return true;
    });
    return result;
  }

  std::unique_ptr<UsbWatch> WatchPlugging(std::uint16_t vendor, std::uint16_t product,
                                          std::function<void()> changed) override {
    if (initError_ != 0 || libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0)
      return nullptr;
    auto watch = std::make_unique<LibusbWatch>(context_, std::move(changed));
    if (!watch->Start(vendor, product))
      return nullptr;
    return watch;
  }

 private:
  // Calls `visit` for each device matching vendor and product (0 and 0 match
  // every device) until it returns true.
  template <typename Visit>
  void ForEachDevice(std::uint16_t vendor, std::uint16_t product, Visit visit) {
    if (initError_ != 0)
      return;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor descriptor{};
      if (libusb_get_device_descriptor(list[i], &descriptor) != 0)
        continue;
      const bool any = vendor == 0 && product == 0;
      if (!any && (descriptor.idVendor != vendor || descriptor.idProduct != product))
        continue;
      if (visit(list[i]))
        break;
    }
    if (count >= 0)
      libusb_free_device_list(list, 1);
  }

  libusb_context* context_ = nullptr;
  int initError_ = 0;
};

}  // namespace

std::unique_ptr<UsbBus> MakeLibusbBus() {
  return std::make_unique<LibusbBus>();
}

std::string UsbErrorText(int error) {
  return libusb_strerror(error);
}

}  // namespace whorlgen::lasers
