#include <QApplication>
#include <QStyleFactory>

#include "ui/frm_whorlgen.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // One style everywhere, so geometry and mouse behaviour do not follow the desktop theme.
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  whorlgen::ui::FrmWhorlgen window;
  window.show();
  return app.exec();
}
