#pragma once
// The Ether Dream units this computer knows of: those heard announcing
// themselves on UDP 7654 (a passive listener that starts with the program)
// and those the operator added by address, for networks where broadcasts do
// not pass. Each is listed as "Ether Dream 3a:4f:12" (the last three bytes
// of its MAC address) or, until it is heard, by its address. Nothing from
// the wire is kept beyond a bound: a flood of forged announcements fills a
// few hundred places and is then ignored.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lasers/etherdream_dac.h"
#include "lasers/etherdream_protocol.h"
#include "output/dac_catalog.h"

namespace whorlgen::lasers {

class EtherDreamFamily : public output::DacFamily {
 public:
  struct Ports {
    std::uint16_t Listen = etherdream::kBroadcastPort;  // where announcements arrive
    std::uint16_t Tcp = etherdream::kTcpPort;           // where units are reached
  };

  explicit EtherDreamFamily(Ports ports);
  EtherDreamFamily() : EtherDreamFamily(Ports{}) {}
  ~EtherDreamFamily() override;

  std::string Kind() const override { return "Ether Dream"; }
  // Checks each added address with a short connection (all at once, so a
  // scan takes one probe's time): idle, busy or unreachable. Only addresses
  // listed in WHORLGEN_SCAN_ADDRESSES are checked when it is set. What a
  // probe finds is fresher word than an older announcement of the unit at
  // that address.
  void Scan() override;
  // Units heard announcing (at most kMaxUnitsPerFamily, each forgotten
  // kForgetSilentUnitsAfter after its last word), then added addresses that
  // no announcement comes from.
  std::vector<output::DacInfo> Devices() override;
  std::unique_ptr<output::DacDriver> MakeDriver(const output::DacInfo& dac) override;

  // An address already known is kept once; at most kMaxUnitsPerFamily.
  std::optional<std::string> AddAddress(const std::string& text) override;
  void RemoveAddress(const std::string& text) override;
  std::vector<std::string> AddedAddresses() const;
  void WatchChanges(std::function<void()> changed) override;
  // Why announcements cannot be heard (the port is taken), or empty.
  std::string ListenProblem() const;
  // The listen problem, and announcements of units beyond the bound.
  std::string Problem() const override;

  EtherDreamTiming Timing;  // for the drivers it makes
  // How long a probe waits for a unit to accept the connection and greet.
  std::chrono::milliseconds ProbeLimit{300};

 private:
  using Clock = std::chrono::steady_clock;
  struct Heard {
    etherdream::Announcement Announcement;
    in_addr From{};
    Clock::time_point At;
  };
  struct Probed {
    output::DeviceState State = output::DeviceState::NotChecked;
    Clock::time_point At;
  };

  void Listen();
  // Keeps the announcement; false when it is passed over (beyond the bound).
  bool Note(const std::string& name, const etherdream::Announcement& announcement, in_addr from);
  std::string AddressOf(const Heard& heard) const;
  bool IsPlaying(const std::string& name) const;
  void TellChanged();

  const Ports ports_;
  int socket_ = -1;
  std::string listenProblem_;
  std::thread listener_;
  std::atomic<bool> stop_{false};

  mutable std::mutex mutex_;
  std::map<std::string, Heard> heard_;    // by name
  std::size_t ignoredUnits_ = 0;          // announcements from units beyond the bound
  std::vector<std::string> added_;        // as the operator wrote them, normalised
  std::map<std::string, Probed> probed_;  // address -> what the last Scan found
  std::function<void()> changed_;
  std::shared_ptr<std::set<std::string>> playing_ = std::make_shared<std::set<std::string>>();
  std::shared_ptr<std::mutex> playingMutex_ = std::make_shared<std::mutex>();
};

// "host" or "host:port" as an IPv4 socket address; the port defaults to
// `defaultPort`. Nullopt for anything else.
std::optional<sockaddr_in> ParseHostPort(const std::string& text, std::uint16_t defaultPort);

}  // namespace whorlgen::lasers
