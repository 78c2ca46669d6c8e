#pragma once
// The DACs beyond the three library-backed ones: network DACs found by their
// announcements or a scan, USB DACs, audio servers. Each family of devices
// (Ether Dream, IDN, Helios, JACK, ...) is one DacFamily. The device
// directory (discovery/) owns the families and is the only caller of their
// looking functions; the DAC list shows their devices after "SoundCard",
// "EZLase" and "RIYA".

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output/dac_driver.h"

namespace whorlgen::output {

// What a device is doing as far as this computer can tell.
enum class DeviceState {
  Idle,                     // ready for a run
  Playing,                  // a run of ours holds it
  Running,                  // an audio server that is up
  BusyWithAnotherComputer,  // a network DAC that serves someone else
  BusyWithAnotherProgram,   // a USB DAC another program has open
  Unreachable,              // it did not answer, or has gone quiet
  NotChecked,               // added by address and not asked yet
};

// The state in the operator's words: "idle", "busy with another computer", ...
std::string_view DeviceStateWords(DeviceState state);

// A unit that was heard of without asking (an announcement) and has been
// silent this long is forgotten; a family keeps at most kMaxUnitsPerFamily.
inline constexpr std::chrono::seconds kForgetSilentUnitsAfter{10};
inline constexpr std::size_t kMaxUnitsPerFamily = 256;

// One device as the operator sees it in the DAC list and the Devices window.
struct DacInfo {
  std::string Name;  // unique, the run's DAC name: "Ether Dream 3a:4f:12", "IDN laser-1"
  // What tells it apart from the other devices of its kind, for the narrow
  // DAC list: "3a:4f:12", "laser-1", "192.168.1.20". Empty: the name says it.
  std::string ShortName;
  std::string Kind;     // the family: "Ether Dream", "IDN", "Helios", "JACK"
  std::string Address;  // how its back-end reaches it: "127.0.0.1:7765", a USB place
  DeviceState State = DeviceState::Idle;
  // When the unit last made itself heard unasked. Set only for units known
  // that way: they go quiet and then leave the list when they stop.
  std::optional<std::chrono::steady_clock::time_point> HeardAt;
};

// A family of devices. Kind, Scan, Devices, the address calls and
// WatchChanges are called from the directory's thread only, one at a time;
// MakeDriver may be called from any thread meanwhile.
class DacFamily {
 public:
  DacFamily(const DacFamily&) = delete;
  DacFamily& operator=(const DacFamily&) = delete;
  virtual ~DacFamily() = default;

  virtual std::string Kind() const = 0;
  // An active search, only when the operator asks for one (the Scan button,
  // opening the Devices window). It may take a moment (a few hundred ms).
  virtual void Scan() {}
  // The devices known now, in a stable order, at most kMaxUnitsPerFamily.
  // Answered from what the family already knows; a family may look at a
  // local bus here when it was told something changed.
  virtual std::vector<DacInfo> Devices() = 0;
  // The back-end for one of this family's devices, for one run. Does no I/O:
  // the driver reaches the device when the run opens it.
  virtual std::unique_ptr<DacDriver> MakeDriver(const DacInfo& dac) = 0;

  // Units the operator added by address, for networks where they are not
  // heard: "192.168.1.20" or "192.168.1.20:7765". Returns the address as
  // listed, with its port, or nullopt for text that is no IPv4 address with
  // an optional port (and in a family that takes no addresses).
  virtual std::optional<std::string> AddAddress(const std::string& /*text*/) {
    return std::nullopt;
  }
  virtual void RemoveAddress(const std::string& /*text*/) {}
  // The family calls `changed` (from any thread, quickly) whenever Devices()
  // may answer differently: a new unit heard, a device plugged in. Called
  // once, before the directory starts asking.
  virtual void WatchChanges(std::function<void()> /*changed*/) {}
  // Why the family cannot see everything it should (a port taken), or empty.
  virtual std::string Problem() const { return {}; }

 protected:
  DacFamily() = default;
};

}  // namespace whorlgen::output
