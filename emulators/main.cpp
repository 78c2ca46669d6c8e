// whorlgen-dac-emulator --<device> [options]: a laser DAC on 127.0.0.1 for
// trying Whorlgen without hardware, and for its tests.

#include <cstdio>
#include <cstring>

#include "emulators/etherdream_emulator.h"
#include "emulators/idn_emulator.h"

namespace {

struct Emulator {
  const char* flag;
  int (*run)(int argc, char** argv, int firstOption);
  const char* usage;
};

// One row per device kind.
constexpr Emulator kEmulators[] = {
    {"--etherdream", whorlgen::emulators::RunEtherDreamEmulator,
     whorlgen::emulators::kEtherDreamUsage},
    {"--idn", whorlgen::emulators::RunIdnEmulator, whorlgen::emulators::kIdnUsage},
};

constexpr char kPurpose[] =
    "whorlgen-dac-emulator plays a network laser DAC on 127.0.0.1, so that Whorlgen\n"
    "can be tried and tested without hardware: it takes the points as a real unit\n"
    "does and plays them at their rate (no light: it only counts them), can act\n"
    "out the unit's failures, and on Ctrl-C prints what arrived as key=value lines.\n"
    "\n"
    "An Ether Dream is listed by Whorlgen on its own only with --announce-to\n"
    "127.0.0.1; otherwise add 127.0.0.1:7765 by address on the Devices window's\n"
    "Network DACs page. An IDN unit on port 7255 is found by Whorlgen's scan when\n"
    "Whorlgen runs with WHORLGEN_SCAN_ADDRESSES=127.0.0.1, or added by address.\n"
    "\n";

void PrintUsage(std::FILE* to) {
  std::fprintf(to, "usage: whorlgen-dac-emulator <device> [options]\n");
  std::fprintf(to, "       whorlgen-dac-emulator --help\n");
  for (const Emulator& emulator : kEmulators)
    std::fprintf(to, "\n%s\n%s", emulator.flag, emulator.usage);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kPurpose, stdout);
      PrintUsage(stdout);
      return 0;
    }
  }
  if (argc >= 2) {
    for (const Emulator& emulator : kEmulators) {
      if (std::strcmp(argv[1], emulator.flag) == 0)
        return emulator.run(argc, argv, 2);
    }
    std::fprintf(stderr, "unknown device %s\n\n", argv[1]);
  }
  PrintUsage(stderr);
  return 2;
}
