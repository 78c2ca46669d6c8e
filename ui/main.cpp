#include <QApplication>
#include <QStyleFactory>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "control/osc_server.h"
#include "ui/application.h"
#include "ui/frm_whorlgen.h"
#include "ui/quit_signals.h"
#include "ui/self_test.h"

int main(int argc, char** argv) {
  // Answered before any window system is needed.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("whorlgen %s\n", WHORLGEN_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--osc-addresses") == 0) {
      std::fputs(whorlgen::control::OscAddressTable().c_str(), stdout);
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("whorlgen");
  QApplication::setApplicationVersion(WHORLGEN_VERSION);
  // One style everywhere, so geometry and mouse behaviour do not follow the desktop theme.
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  whorlgen::ui::IgnoreFileSizeSignal();
  whorlgen::ui::Application program;
  whorlgen::ui::FrmWhorlgen& window = program.Window();
  const whorlgen::ui::QuitSignals quitSignals(
      [&window](int signalNumber) { window.EndOnSignal(signalNumber); });

  const QStringList args = QApplication::arguments();
  const qsizetype selfTest = args.indexOf("--self-test");
  if (selfTest >= 0) {
    const QString dac = selfTest + 1 < args.size() ? args[selfTest + 1] : QStringLiteral("EZLase");
    window.show();
    return whorlgen::ui::RunSelfTest(window, dac, std::chrono::seconds(2));
  }
  window.show();
  return app.exec();
}
