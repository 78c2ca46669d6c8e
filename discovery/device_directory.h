#pragma once
// The device directory owns all discovery. Its thread is the only one that
// asks the DAC families what they know (Ether Dream announcements, IDN
// scans, probes of added addresses, the USB bus, the JACK server); the panel
// and the Devices window draw its latest snapshot and send it requests
// through a small bounded mailbox, so they never wait on the network, USB or
// JACK. Scans happen only when asked; passive news (an announcement, a
// device plugged in) arrives by itself.
//
// The snapshot is the list's truth: units heard unasked go quiet (shown
// unreachable) after QuietAfter and leave after ForgetAfter of silence; each
// family lists at most MaxPerFamily; every name is fit to show (no control or
// bidirectional characters, a bounded length) and unique.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "output/dac_catalog.h"

namespace whorlgen::discovery {

struct DirectoryLimits {
  std::chrono::milliseconds QuietAfter{4000};
  std::chrono::milliseconds ForgetAfter{output::kForgetSilentUnitsAfter};
  std::size_t MaxPerFamily = output::kMaxUnitsPerFamily;
  std::size_t MaxNameCharacters = 48;
  // Passive news is gathered this long before the list is looked at again.
  std::chrono::milliseconds Gather{100};
  // Requests waiting at most (a scan asked twice waits once).
  std::size_t MailboxSize = 32;
};

struct Snapshot {
  std::uint64_t Version = 0;             // 0 before the first look
  std::vector<output::DacInfo> Devices;  // family by family, in the order added
  std::vector<std::string> Problems;     // what the families cannot see, in words
  bool Scanning = false;                 // a scan asked for is under way
  std::uint64_t ScansDone = 0;
};

class DeviceDirectory {
 public:
  explicit DeviceDirectory(DirectoryLimits limits = {});
  ~DeviceDirectory();
  DeviceDirectory(const DeviceDirectory&) = delete;
  DeviceDirectory& operator=(const DeviceDirectory&) = delete;

  // Before Start; the list follows the order of the families.
  void AddFamily(std::unique_ptr<output::DacFamily> family);
  // Starts the thread. `newSnapshot` is called on it (briefly: hand it on)
  // after each snapshot that differs from the one before.
  void Start(std::function<void()> newSnapshot);
  void Stop();

  // Requests return at once. A scan asked for while one waits is the same
  // scan; an address request gives false when the mailbox is full.
  bool RequestScan();
  // Addresses for the family of `kind` ("Ether Dream", "IDN"), normalised.
  bool RequestAddAddresses(const std::string& kind, std::vector<std::string> addresses);
  bool RequestRemoveAddress(const std::string& kind, const std::string& address);

  Snapshot Latest() const;
  // The back-end for a device of the latest snapshot, made without I/O;
  // nullptr for a name that is not listed.
  std::unique_ptr<output::DacDriver> MakeDriver(const std::string& name) const;

 private:
  struct Request {
    enum class Kind { Add, Remove } What;
    std::string Family;
    std::vector<std::string> Addresses;
  };
  // A listed device: its family and the device as the family gave it.
  struct Listed {
    std::size_t Family = 0;
    output::DacInfo AsGiven;
  };

  void Run();
  // Waits for something to do; false when stopping.
  bool WaitForWork(std::vector<Request>& requests, bool& scan);
  void Apply(const Request& request);
  void ScanAll();
  void Look();
  void Poke();

  const DirectoryLimits limits_;
  std::vector<std::unique_ptr<output::DacFamily>> families_;
  std::function<void()> newSnapshot_;

  std::mutex mailboxMutex_;
  std::condition_variable wake_;
  std::deque<Request> mailbox_;
  bool scanAsked_ = false;
  bool poked_ = false;
  bool stop_ = false;

  // The directory thread's own.
  std::thread thread_;
  bool scanning_ = false;
  std::uint64_t scansDone_ = 0;
  std::chrono::steady_clock::time_point lastLook_{};
  std::optional<std::chrono::steady_clock::time_point> nextExpiry_;

  mutable std::mutex snapshotMutex_;
  Snapshot latest_;
  std::vector<Listed> listed_;  // beside latest_.Devices, one for one
};

// The back-end for a DAC that was chosen and is no longer listed: opening it
// fails with words that say so, and nothing reaches any device.
std::unique_ptr<output::DacDriver> MakeMissingDacDriver(const std::string& name);

}  // namespace whorlgen::discovery
