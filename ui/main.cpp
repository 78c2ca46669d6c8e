#include <QApplication>
#include <QStyleFactory>
#include <chrono>
#include <cstdio>

#include "ui/application.h"
#include "ui/command_line.h"
#include "ui/frm_whorlgen.h"
#include "ui/quit_signals.h"
#include "ui/self_test.h"

int main(int argc, char** argv) {
  // Answered before any window system is needed.
  const whorlgen::ui::CommandLine commandLine =
      whorlgen::ui::ReadCommandLine(argc, argv, stdout, stderr);
  if (commandLine.ExitStatus)
    return *commandLine.ExitStatus;
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

  if (commandLine.SelfTestDac) {
    window.show();
    return whorlgen::ui::RunSelfTest(
        window, QString::fromLocal8Bit(commandLine.SelfTestDac->c_str()), std::chrono::seconds(2));
  }
  window.show();
  return app.exec();
}
