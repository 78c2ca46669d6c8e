#pragma once
// The DACs beyond the three library-backed ones: network DACs found by their
// announcements or a scan, USB DACs, audio servers. Each family of devices
// (Ether Dream, IDN, Helios, JACK, ...) is one DacFamily; the catalog keeps
// them in order, and the DAC list shows their devices after "SoundCard",
// "EZLase" and "RIYA".

#include <memory>
#include <string>
#include <vector>

#include "output/dac_driver.h"

namespace whorlgen::output {

// One device as the operator sees it in the DAC list and the Devices window.
struct DacInfo {
  std::string Name;     // the list's text, unique: "Ether Dream 3a:4f:12", "IDN laser-1"
  std::string Kind;     // the family: "Ether Dream", "IDN", "Helios", "JACK"
  std::string Address;  // how its back-end reaches it: "127.0.0.1:7765", a USB serial
  std::string State;    // "idle", "playing", "busy with another computer", "unreachable"
};

class DacFamily {
 public:
  DacFamily(const DacFamily&) = delete;
  DacFamily& operator=(const DacFamily&) = delete;
  virtual ~DacFamily() = default;

  virtual std::string Kind() const = 0;
  // An active search, only when the operator asks for one (the Scan button,
  // opening the Devices window). Passive listening needs no call.
  virtual void Scan() {}
  // The devices known now, in a stable order.
  virtual std::vector<DacInfo> Devices() = 0;
  // The back-end for one of this family's devices, for one run.
  virtual std::unique_ptr<DacDriver> MakeDriver(const DacInfo& dac) = 0;

 protected:
  DacFamily() = default;
};

class DacCatalog {
 public:
  void AddFamily(std::unique_ptr<DacFamily> family);
  void Scan();
  // Every family's devices, family by family in the order they were added.
  std::vector<DacInfo> Devices();
  // The back-end for the device listed as `name`; nullptr for a name that no
  // family knows (the three library DACs, or a device that has gone).
  std::unique_ptr<DacDriver> MakeDriver(const std::string& name);

 private:
  std::vector<std::unique_ptr<DacFamily>> families_;
};

}  // namespace whorlgen::output
