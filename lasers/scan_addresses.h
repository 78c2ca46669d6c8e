#pragma once
// Where an active scan for network DACs is sent. Only when the operator asks
// (the Scan button, opening the Devices window), never at start-up.

#include <netinet/in.h>

#include <string>
#include <vector>

namespace whorlgen::lasers {

// With WHORLGEN_SCAN_ADDRESSES set (comma-separated IPv4 addresses, as every
// test and script sets it to 127.0.0.1), exactly those addresses; otherwise
// the broadcast address of each IPv4 interface that is up and broadcasts.
// Entries that are not addresses are skipped.
std::vector<in_addr> ScanAddresses();

// The addresses in a comma-separated list; blanks around entries are allowed.
std::vector<in_addr> ParseAddressList(const std::string& list);

}  // namespace whorlgen::lasers
