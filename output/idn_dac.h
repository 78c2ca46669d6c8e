#pragma once
// IDN, the ILDA Digital Network: laser projectors reached over UDP port 7255.
// A scan (only when the operator asks) finds units by their answer to a scan
// request; the operator may also add a unit's address where broadcasts do
// not pass. A run streams to the unit's laser projector service in the
// continuous graphic mode: the points go out as they are due to play, paced
// by the clock, with blanked points where the beam last was whenever no frame
// is ready, so the projector neither runs dry nor repeats a lit frame.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "output/dac_catalog.h"

namespace whorlgen::output {

inline constexpr std::uint16_t kIdnPort = 7255;

struct IdnTiming {
  // How far ahead of the playing beam the points are sent.
  std::chrono::milliseconds Lead{40};
  // The stream configuration goes out again this often, asking for an
  // acknowledgement; a unit that joins late picks the stream up from it.
  std::chrono::milliseconds ConfigEvery{200};
  // A unit that acknowledged before and then stays silent this long is lost.
  std::chrono::milliseconds SilenceLimit{2000};
  // How long a scan or the opening of a run waits for answers.
  std::chrono::milliseconds AnswerWait{300};
};

class IdnFamily : public DacFamily {
 public:
  // `port` is where units listen (7255; the tests' emulator elsewhere).
  explicit IdnFamily(std::uint16_t port = kIdnPort, IdnTiming timing = {});
  std::string Kind() const override { return "IDN"; }
  // Asks every scan address (ScanAddresses()) and every added address, but
  // only addresses listed in WHORLGEN_SCAN_ADDRESSES when it is set; waits
  // AnswerWait for the answers and keeps at most kMaxUnitsPerFamily units.
  void Scan() override;
  // Units that answered the last scan, then added addresses that did not.
  std::vector<DacInfo> Devices() override;
  std::unique_ptr<DacDriver> MakeDriver(const DacInfo& dac) override;

  // "192.168.1.40" or "192.168.1.40:7255"; returns it as listed, with its
  // port, or nullopt for text that is no IPv4 address with an optional port.
  // An address is kept once. The Devices page keeps them in the settings file.
  std::optional<std::string> AddAddress(const std::string& text) override;
  void RemoveAddress(const std::string& text) override;
  std::vector<std::string> AddedAddresses() const;

  // The addresses of the units a run is streaming to, shared with the drivers.
  struct Playing {
    std::mutex Mutex;
    std::set<std::string> Addresses;
  };

 private:
  struct Unit {
    std::string HostName;
    sockaddr_in Address{};
    std::uint8_t Status = 0;
  };

  std::uint16_t port_;
  IdnTiming timing_;
  bool scanned_ = false;
  std::vector<Unit> units_;
  std::vector<std::string> added_;
  std::shared_ptr<Playing> playing_ = std::make_shared<Playing>();
};

std::unique_ptr<DacDriver> MakeIdnDriver(const DacInfo& dac, IdnTiming timing = {},
                                         std::shared_ptr<IdnFamily::Playing> playing = nullptr);

}  // namespace whorlgen::output
