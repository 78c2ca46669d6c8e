#include "lasers/etherdream_family.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lasers/scan_addresses.h"

namespace whorlgen::lasers {

using output::DacDriver;
using output::DacInfo;
using output::DeviceState;
using output::kForgetSilentUnitsAfter;
using output::kMaxUnitsPerFamily;

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
    if (Note("Ether Dream " + ed::ShortMac(announcement->Mac), *announcement, from.sin_addr))
      TellChanged();
  }
}

bool EtherDreamFamily::Note(const std::string& name, const ed::Announcement& announcement,
                            in_addr from) {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(mutex_);
  auto known = heard_.find(name);
  if (known == heard_.end()) {
    if (heard_.size() >= kMaxUnitsPerFamily)
      std::erase_if(heard_, [&](const auto& entry) {
        return now - entry.second.At > kForgetSilentUnitsAfter;
      });
    if (heard_.size() >= kMaxUnitsPerFamily) {
      // Units already listed keep their places; the first one ignored is told.
      return ignoredUnits_++ == 0;
    }
    heard_.emplace(name, Heard{announcement, from, now});
    return true;
  }
  known->second = Heard{announcement, from, now};
  return true;
}

void EtherDreamFamily::WatchChanges(std::function<void()> changed) {
  std::lock_guard lock(mutex_);
  changed_ = std::move(changed);
}

void EtherDreamFamily::TellChanged() {
  std::function<void()> changed;
  {
    std::lock_guard lock(mutex_);
    changed = changed_;
  }
  if (changed)
    changed();
}

std::string EtherDreamFamily::AddressOf(const Heard& heard) const {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = heard.From;
  address.sin_port = htons(ports_.Tcp);
  return AddressText(address);
}

bool EtherDreamFamily::IsPlaying(const std::string& name) const {
  std::lock_guard lock(*playingMutex_);
  return playing_->count(name) > 0;
}

std::vector<DacInfo> EtherDreamFamily::Devices() {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(mutex_);
  std::erase_if(heard_,
                [&](const auto& entry) { return now - entry.second.At > kForgetSilentUnitsAfter; });
  std::vector<DacInfo> devices;
  std::set<std::string> heardAddresses;
  for (const auto& [name, heard] : heard_) {
    DacInfo dac{name,
                ed::ShortMac(heard.Announcement.Mac),
                Kind(),
                AddressOf(heard),
                heard.Announcement.State.PlaybackState == ed::Playback::Idle
                    ? DeviceState::Idle
                    : DeviceState::BusyWithAnotherComputer,
                heard.At};
    heardAddresses.insert(dac.Address);
    // A probe after the last announcement is the fresher word: a unit that
    // answered it is there whether or not it still announces itself.
    if (const auto probe = probed_.find(dac.Address);
        probe != probed_.end() && probe->second.At > heard.At) {
      dac.State = probe->second.State;
      if (dac.State != DeviceState::Unreachable)
        dac.HeardAt = probe->second.At;
    }
    if (IsPlaying(name))
      dac.State = DeviceState::Playing;
    devices.push_back(std::move(dac));
  }
  const std::string defaultPort = ":" + std::to_string(ports_.Tcp);
  for (const std::string& address : added_) {
    if (heardAddresses.count(address))
      continue;  // listed under its own name already
    DacInfo dac{"Ether Dream " + address, address, Kind(), address, DeviceState::NotChecked, {}};
    if (dac.ShortName.ends_with(defaultPort))
      dac.ShortName.resize(dac.ShortName.size() - defaultPort.size());
    if (const auto probe = probed_.find(address); probe != probed_.end())
      dac.State = probe->second.State;
    if (IsPlaying(dac.Name))
      dac.State = DeviceState::Playing;
    devices.push_back(std::move(dac));
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
  const char* limited = std::getenv("WHORLGEN_SCAN_ADDRESSES");
  const std::vector<in_addr> allowed = limited ? ScanAddresses() : std::vector<in_addr>{};
  struct Probe {
    std::string Address;
    sockaddr_in To{};
    DeviceState Found = DeviceState::Unreachable;
  };
  std::vector<Probe> probes;
  for (const std::string& text : AddedAddresses()) {
    const auto address = ParseHostPort(text, ports_.Tcp);
    if (!address)
      continue;
    if (limited && std::none_of(allowed.begin(), allowed.end(), [&](const in_addr& a) {
          return a.s_addr == address->sin_addr.s_addr;
        }))
      continue;
    if (IsPlaying("Ether Dream " + text))
      continue;  // our own run holds it
    probes.push_back({text, *address});
  }
  // Every probe at once: a scan of many silent addresses takes one limit.
  std::vector<std::thread> probing;
  probing.reserve(probes.size());
  for (Probe& probe : probes)
    probing.emplace_back(
        [&probe, limit = ProbeLimit] { probe.Found = ProbeEtherDream(probe.To, limit); });
  for (std::thread& thread : probing)
    thread.join();
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(mutex_);
  for (const Probe& probe : probes)
    probed_[probe.Address] = Probed{probe.Found, now};
}

std::optional<std::string> EtherDreamFamily::AddAddress(const std::string& text) {
  auto address = ParseHostPort(text, ports_.Tcp);
  if (!address)
    return std::nullopt;
  const std::string normal = AddressText(*address);
  std::lock_guard lock(mutex_);
  if (std::find(added_.begin(), added_.end(), normal) == added_.end() &&
      added_.size() < kMaxUnitsPerFamily)
    added_.push_back(normal);
  return normal;
}

void EtherDreamFamily::RemoveAddress(const std::string& text) {
  auto address = ParseHostPort(text, ports_.Tcp);
  if (!address)
    return;
  std::lock_guard lock(mutex_);
  std::erase(added_, AddressText(*address));
  probed_.erase(AddressText(*address));
}

std::vector<std::string> EtherDreamFamily::AddedAddresses() const {
  std::lock_guard lock(mutex_);
  return added_;
}

std::string EtherDreamFamily::ListenProblem() const {
  return listenProblem_;
}

std::string EtherDreamFamily::Problem() const {
  std::lock_guard lock(mutex_);
  if (ignoredUnits_ == 0)
    return listenProblem_;
  const std::string flood = "More than " + std::to_string(kMaxUnitsPerFamily) +
                            " Ether Dream units announced themselves: the others are ignored "
                            "until listed ones fall silent.";
  return listenProblem_.empty() ? flood : listenProblem_ + "\n" + flood;
}

}  // namespace whorlgen::lasers
