#include <QApplication>
#include <QStyleFactory>

#include "ui/frm_whorlgen.h"
#include "ui/quit_signals.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // One style everywhere, so geometry and mouse behaviour do not follow the desktop theme.
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  whorlgen::ui::IgnoreFileSizeSignal();
  whorlgen::ui::FrmWhorlgen window;
  const whorlgen::ui::QuitSignals quitSignals(
      [&window](int signalNumber) { window.EndOnSignal(signalNumber); });
  window.show();
  return app.exec();
}
