#include "ui/command_line.h"

#include <array>
#include <string_view>

#include "control/osc_server.h"

namespace whorlgen::ui {

namespace {

constexpr char kUsage[] =
    "usage: whorlgen [--self-test [DAC]] [Qt window-system options]\n"
    "       whorlgen --help | --version | --osc-addresses\n"
    "\n"
    "Moving harmonograph figures for laser shows, in real time. Without options\n"
    "the control panel opens.\n"
    "\n"
    "  --self-test [DAC]  run the start-up figure on DAC (\"EZLase\" when none is\n"
    "                     named) for two seconds, print what went out and exit:\n"
    "                     0 when it went out without a message, 1 otherwise,\n"
    "                     2 when no DAC of that name is listed within 5 s\n"
    "  --osc-addresses    print the OSC addresses with their ranges and units\n"
    "  --version          print the version\n"
    "  -h, --help         print this text\n"
    "\n"
    "Qt's window-system options are passed on to Qt: -platform NAME,\n"
    "-platformpluginpath DIR, -platformtheme NAME, -plugin NAME, -display DISPLAY,\n"
    "-geometry GEOMETRY, -qwindowgeometry GEOMETRY, -qwindowtitle TITLE,\n"
    "-qwindowicon FILE, -session ID. Without a display, --self-test needs\n"
    "-platform offscreen (or QT_QPA_PLATFORM=offscreen).\n"
    "\n"
    "Your equipment's settings: $XDG_CONFIG_HOME/whorlgen/whorlgen.conf\n"
    "(~/.config/whorlgen/whorlgen.conf). More in man whorlgen.\n";

// Qt's options that say where and how the window system is reached; each
// takes a value. Qt reads them with one dash or two.
constexpr std::array<std::string_view, 10> kQtOptions = {
    "platform", "platformpluginpath", "platformtheme", "plugin",      "display",
    "geometry", "qwindowgeometry",    "qwindowtitle",  "qwindowicon", "session"};

bool IsQtOption(std::string_view arg) {
  if (arg.starts_with("--"))
    arg.remove_prefix(2);
  else if (arg.starts_with("-"))
    arg.remove_prefix(1);
  else
    return false;
  for (std::string_view name : kQtOptions) {
    if (arg == name)
      return true;
  }
  return false;
}

CommandLine Refuse(std::FILE* err, const std::string& reason) {
  std::fprintf(err, "whorlgen: %s\n\n%s", reason.c_str(), kUsage);
  return {2, std::nullopt};
}

}  // namespace

CommandLine ReadCommandLine(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, out);
      return {0, std::nullopt};
    }
    if (arg == "--version") {
      std::fprintf(out, "whorlgen %s\n", WHORLGEN_VERSION);
      return {0, std::nullopt};
    }
    if (arg == "--osc-addresses") {
      std::fputs(control::OscAddressTable().c_str(), out);
      return {0, std::nullopt};
    }
    if (arg == "--self-test") {
      line.SelfTestDac = "EZLase";
      if (i + 1 < argc && argv[i + 1][0] != '-' && argv[i + 1][0] != '\0')
        line.SelfTestDac = argv[++i];
      continue;
    }
    if (IsQtOption(arg)) {
      if (i + 1 >= argc)
        return Refuse(err, std::string(arg) + " needs a value");
      ++i;
      continue;
    }
    return Refuse(err, arg.starts_with("-") ? "unknown option " + std::string(arg)
                                            : "unexpected argument \"" + std::string(arg) + "\"");
  }
  return line;
}

}  // namespace whorlgen::ui
