#pragma once
// IDN, the ILDA Digital Network: laser projectors reached over UDP port 7255.
// A scan (only when the operator asks) finds units by their answer to a scan
// request; the operator may also add a unit's address where broadcasts do
// not pass. A run streams to the unit's laser projector service in the
// continuous graphic mode: the points go out as they are due to play, paced
// by the clock, frames back to back, with blanked points where the beam last
// was only when no frame is ready and the unit would otherwise run low, so
// the projector neither runs dry nor repeats a lit frame. No message carries
// less than 200 us of samples, which open receiver firmware would drop. A
// unit that never acknowledges the stream, or stops doing so, ends the run.

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "lasers/point_stream.h"
#include "output/dac_catalog.h"

namespace whorlgen::lasers {

inline constexpr std::uint16_t kIdnPort = 7255;
// Samples in one stream message at most: it stays within one Ethernet frame.
inline constexpr std::size_t kIdnMaxSamplesPerMessage = 180;

// How many of the `pending` samples the next message carries, all of the
// first one's rate: about `wanted`, at most a message's worth, never less
// than 200 us of samples, and never leaving less than 200 us of a run of one
// rate for a message of its own. 0 when the rest of a run that may go on
// (`runMayGoOn`) must wait for more points. A run known to end shorter than
// 200 us is taken whole; the sender makes it up with dark samples.
std::size_t IdnChunkSamples(std::span<const StreamPoint> pending, bool runMayGoOn,
                            std::size_t wanted);

struct IdnTiming {
  // How far ahead of the playing beam the points are sent; dark padding
  // starts when the unit holds less than half of it.
  std::chrono::milliseconds Lead{40};
  // The stream configuration goes out again this often, asking for an
  // acknowledgement; a unit that joins late picks the stream up from it.
  std::chrono::milliseconds ConfigEvery{200};
  // A unit silent this long since the first request for an acknowledgement,
  // or since its last one, is lost.
  std::chrono::milliseconds SilenceLimit{2000};
  // How long a scan or the opening of a run waits for answers.
  std::chrono::milliseconds AnswerWait{300};
};

class IdnFamily : public output::DacFamily {
 public:
  // `port` is where units listen (7255; the tests' emulator elsewhere).
  explicit IdnFamily(std::uint16_t port = kIdnPort, IdnTiming timing = {});
  std::string Kind() const override { return "IDN"; }
  // Asks every scan address (ScanAddresses()) and every added address, but
  // only addresses listed in WHORLGEN_SCAN_ADDRESSES when it is set; waits
  // AnswerWait for the answers and keeps at most kMaxUnitsPerFamily units.
  void Scan() override;
  // Units that answered the last scan, then added addresses that did not.
  std::vector<output::DacInfo> Devices() override;
  std::unique_ptr<output::DacDriver> MakeDriver(const output::DacInfo& dac) override;

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

std::unique_ptr<output::DacDriver> MakeIdnDriver(
    const output::DacInfo& dac, IdnTiming timing = {},
    std::shared_ptr<IdnFamily::Playing> playing = nullptr);

}  // namespace whorlgen::lasers
