#pragma once
// The program's command line, read before any window system is needed, so
// that --help and a mistyped option are answered on a machine without a
// display too.

#include <cstdio>
#include <optional>
#include <string>

namespace whorlgen::ui {

struct CommandLine {
  // Set when the program ends here with this exit status: after --help,
  // --version or --osc-addresses (0), or a command line it refuses (2).
  std::optional<int> ExitStatus;
  // --self-test [DAC]: the DAC to run on.
  std::optional<std::string> SelfTestDac;
};

// Reads the arguments in order. Answers go to `out`; a refusal names the
// argument and prints the usage to `err`. Qt's window-system options (-platform
// NAME and the like) are let through for QApplication to take.
CommandLine ReadCommandLine(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

}  // namespace whorlgen::ui
