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

void PrintUsage() {
  std::fprintf(stderr, "usage: whorlgen-dac-emulator <device> [options]\n");
  for (const Emulator& emulator : kEmulators)
    std::fprintf(stderr, "\n%s\n%s", emulator.flag, emulator.usage);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2) {
    for (const Emulator& emulator : kEmulators) {
      if (std::strcmp(argv[1], emulator.flag) == 0)
        return emulator.run(argc, argv, 2);
    }
  }
  PrintUsage();
  return 2;
}
