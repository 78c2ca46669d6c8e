#include "output/etherdream_family.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "output/scan_addresses.h"

namespace whorlgen::output {

using Clock = std::chrono::steady_clock;
namespace ed = etherdream;

std::optional<sockaddr_in> ParseHostPort(const std::string& text, std::uint16_t defaultPort) {
  std::string host = text;
  long port = defaultPort;
  if (const auto colon = text.find(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    const std::string digits = text.substr(colon + 1);
    char* end = nullptr;
    port = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || port < 1 || port > 65535)
      return std::nullopt;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
    return std::nullopt;
  return address;
}

EtherDreamFamily::EtherDreamFamily(Ports ports) : ports_(ports) {
  socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  // Other programs may listen for the same announcements.
  setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_ANY);
  at.sin_port = htons(ports_.Listen);
  if (socket_ < 0 || bind(socket_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    listenProblem_ = "UDP port " + std::to_string(ports_.Listen) + " cannot be used (" +
                     std::strerror(errno) +
                     "): Ether Dream units are not heard announcing themselves. Add them by "
                     "address, or close the program that holds the port.";
    if (socket_ >= 0)
      close(socket_);
    socket_ = -1;
    return;
  }
  listener_ = std::thread([this] { Listen(); });
}

EtherDreamFamily::~EtherDreamFamily() {
  stop_ = true;
  if (listener_.joinable())
    listener_.join();
  if (socket_ >= 0)
    close(socket_);
}

void EtherDreamFamily::Listen() {
  while (!stop_) {
    pollfd watched{socket_, POLLIN, 0};
    if (poll(&watched, 1, 100) <= 0)
      continue;
    std::uint8_t packet[512];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t got = recvfrom(socket_, packet, sizeof packet, 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got <= 0)
      continue;
    auto announcement = ed::DecodeAnnouncement(
        std::span<const std::uint8_t>(packet, static_cast<std::size_t>(got)));
    if (!announcement)
      continue;  // not an Ether Dream's packet
    std::lock_guard lock(mutex_);
    heard_["Ether Dream " + ed::ShortMac(announcement->Mac)] =
        Heard{*announcement, from.sin_addr, Clock::now()};
  }
}

std::string EtherDreamFamily::StateOf(const std::string& name, const ed::Status* status,
                                      Clock::time_point heardAt) const {
  {
    std::lock_guard lock(*playingMutex_);
    if (playing_->count(name))
      return "playing";
  }
  if (Clock::now() - heardAt > kSilenceLimit)
    return "unreachable";
  if (status && status->PlaybackState != ed::Playback::Idle)
    return "busy with another computer";
  return "idle";
}

std::vector<DacInfo> EtherDreamFamily::Devices() {
  std::lock_guard lock(mutex_);
  std::vector<DacInfo> devices;
  std::set<std::string> heardAddresses;
  for (const auto& [name, heard] : heard_) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr = heard.From;
    address.sin_port = htons(ports_.Tcp);
    const std::string text = AddressText(address);
    heardAddresses.insert(text);
    devices.push_back({name, Kind(), text, StateOf(name, &heard.Announcement.State, heard.At)});
  }
  for (const std::string& address : added_) {
    if (heardAddresses.count(address))
      continue;  // listed under its own name already
    const std::string name = "Ether Dream " + address;
    const auto probed = probed_.find(address);
    std::string state = probed != probed_.end() ? probed->second : "added by address";
    {
      std::lock_guard playingLock(*playingMutex_);
      if (playing_->count(name))
        state = "playing";
    }
    devices.push_back({name, Kind(), address, state});
  }
  return devices;
}

std::unique_ptr<DacDriver> EtherDreamFamily::MakeDriver(const DacInfo& dac) {
  auto address = ParseHostPort(dac.Address, ports_.Tcp);
  if (!address)
    return nullptr;
  EtherDreamTarget target;
  target.Name = dac.Name;
  target.Address = *address;
  {
    std::lock_guard lock(mutex_);
    if (auto heard = heard_.find(dac.Name);
        heard != heard_.end() && heard->second.Announcement.Capacity > 0)
      target.Capacity = heard->second.Announcement.Capacity;
  }
  target.OnUse = [playing = playing_, playingMutex = playingMutex_, name = dac.Name](bool inUse) {
    std::lock_guard lock(*playingMutex);
    if (inUse)
      playing->insert(name);
    else
      playing->erase(name);
  };
  return std::make_unique<EtherDreamDriver>(std::move(target), Timing);
}

void EtherDreamFamily::Scan() {
  std::vector<std::string> addresses = AddedAddresses();
  const char* limited = std::getenv("WHORLGEN_SCAN_ADDRESSES");
  const std::vector<in_addr> allowed = limited ? ScanAddresses() : std::vector<in_addr>{};
  for (const std::string& text : addresses) {
    const auto address = ParseHostPort(text, ports_.Tcp);
    if (!address)
      continue;
    if (limited && std::none_of(allowed.begin(), allowed.end(), [&](const in_addr& a) {
          return a.s_addr == address->sin_addr.s_addr;
        }))
      continue;
    {
      std::lock_guard lock(*playingMutex_);
      if (playing_->count("Ether Dream " + text))
        continue;  // our own run holds it
    }
    const std::string state = ProbeEtherDream(*address, std::chrono::milliseconds(300));
    std::lock_guard lock(mutex_);
    probed_[text] = state;
  }
}

std::optional<std::string> EtherDreamFamily::AddAddress(const std::string& text) {
  auto address = ParseHostPort(text, ports_.Tcp);
  if (!address)
    return std::nullopt;
  const std::string normal = AddressText(*address);
  std::lock_guard lock(mutex_);
  if (std::find(added_.begin(), added_.end(), normal) == added_.end())
    added_.push_back(normal);
  return normal;
}

void EtherDreamFamily::RemoveAddress(const std::string& text) {
  auto address = ParseHostPort(text, ports_.Tcp);
  if (!address)
    return;
  std::lock_guard lock(mutex_);
  std::erase(added_, AddressText(*address));
}

std::vector<std::string> EtherDreamFamily::AddedAddresses() const {
  std::lock_guard lock(mutex_);
  return added_;
}

std::string EtherDreamFamily::ListenProblem() const {
  return listenProblem_;
}

}  // namespace whorlgen::output
