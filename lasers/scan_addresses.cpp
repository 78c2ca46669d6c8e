#include "lasers/scan_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cstdlib>
#include <sstream>

namespace whorlgen::lasers {

std::vector<in_addr> ParseAddressList(const std::string& list) {
  std::vector<in_addr> addresses;
  std::stringstream entries(list);
  std::string entry;
  while (std::getline(entries, entry, ',')) {
    const auto first = entry.find_first_not_of(" \t");
    const auto last = entry.find_last_not_of(" \t");
    if (first == std::string::npos)
      continue;
    in_addr address{};
    if (inet_pton(AF_INET, entry.substr(first, last - first + 1).c_str(), &address) == 1)
      addresses.push_back(address);
  }
  return addresses;
}

std::vector<in_addr> ScanAddresses() {
  if (const char* listed = std::getenv("WHORLGEN_SCAN_ADDRESSES"))
    return ParseAddressList(listed);
  std::vector<in_addr> addresses;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0)
    return addresses;
  for (const ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
    const bool broadcasts = (i->ifa_flags & IFF_UP) != 0 && (i->ifa_flags & IFF_BROADCAST) != 0;
    if (broadcasts && i->ifa_broadaddr != nullptr && i->ifa_broadaddr->sa_family == AF_INET)
      addresses.push_back(reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr);
  }
  freeifaddrs(interfaces);
  return addresses;
}

}  // namespace whorlgen::lasers
