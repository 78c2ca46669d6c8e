#pragma once
// The Ether Dream units this computer knows of: those heard announcing
// themselves on UDP 7654 (a passive listener that starts with the program)
// and those the operator added by address, for networks where broadcasts do
// not pass. Each is listed as "Ether Dream 3a:4f:12" (the last three bytes
// of its MAC address) or, until it is heard, by its address.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "output/dac_catalog.h"
#include "output/etherdream_dac.h"
#include "output/etherdream_protocol.h"

namespace whorlgen::output {

class EtherDreamFamily : public DacFamily {
 public:
  struct Ports {
    std::uint16_t Listen = etherdream::kBroadcastPort;  // where announcements arrive
    std::uint16_t Tcp = etherdream::kTcpPort;           // where units are reached
  };
  // A unit not heard for this long is listed as unreachable.
  static constexpr std::chrono::seconds kSilenceLimit{4};

  explicit EtherDreamFamily(Ports ports);
  EtherDreamFamily() : EtherDreamFamily(Ports{}) {}
  ~EtherDreamFamily() override;

  std::string Kind() const override { return "Ether Dream"; }
  // Checks each added address that no announcement vouches for: a short
  // connection tells idle, busy or unreachable. Only addresses listed in
  // WHORLGEN_SCAN_ADDRESSES are checked when it is set.
  void Scan() override;
  std::vector<DacInfo> Devices() override;
  std::unique_ptr<DacDriver> MakeDriver(const DacInfo& dac) override;

  // "192.168.1.20" or "192.168.1.20:7765"; returns it as listed, with its
  // port ("192.168.1.20:7765"), or nullopt for text that is no IPv4 address
  // with an optional port. An address already known is kept once.
  std::optional<std::string> AddAddress(const std::string& text);
  void RemoveAddress(const std::string& text);
  std::vector<std::string> AddedAddresses() const;
  // Why announcements cannot be heard (the port is taken), or empty.
  std::string ListenProblem() const;

  EtherDreamTiming Timing;  // for the drivers it makes

 private:
  struct Heard {
    etherdream::Announcement Announcement;
    in_addr From{};
    std::chrono::steady_clock::time_point At;
  };

  void Listen();
  std::string StateOf(const std::string& name, const etherdream::Status* status,
                      std::chrono::steady_clock::time_point heardAt) const;

  const Ports ports_;
  int socket_ = -1;
  std::string listenProblem_;
  std::thread listener_;
  std::atomic<bool> stop_{false};

  mutable std::mutex mutex_;
  std::map<std::string, Heard> heard_;         // by name
  std::vector<std::string> added_;             // as the operator wrote them, normalised
  std::map<std::string, std::string> probed_;  // address -> state from the last Scan
  std::shared_ptr<std::set<std::string>> playing_ = std::make_shared<std::set<std::string>>();
  std::shared_ptr<std::mutex> playingMutex_ = std::make_shared<std::mutex>();
};

// "host" or "host:port" as an IPv4 socket address; the port defaults to
// `defaultPort`. Nullopt for anything else.
std::optional<sockaddr_in> ParseHostPort(const std::string& text, std::uint16_t defaultPort);

}  // namespace whorlgen::output
