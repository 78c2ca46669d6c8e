#include "ui/frm_whorlgen.h"

namespace whorlgen::ui {

FrmWhorlgen::FrmWhorlgen(QWidget* parent) : QMainWindow(parent) {
  setObjectName("frmWhorlgen");
  setWindowTitle("Whorlgen");
  auto* client = new QWidget(this);
  client->setFixedSize(693, 599);
  setCentralWidget(client);
}

}  // namespace whorlgen::ui
