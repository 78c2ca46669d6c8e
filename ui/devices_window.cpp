#include "ui/devices_window.h"

#include <QKeyEvent>
#include <QTabWidget>
#include <QVBoxLayout>

namespace whorlgen::ui {

DevicesWindow::DevicesWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName("frmDevices");
  setWindowTitle("Whorlgen Devices");
  auto* layout = new QVBoxLayout(this);
  pages_ = new QTabWidget(this);
  pages_->setObjectName("tabDevicePages");
  layout->addWidget(pages_);
  resize(560, 420);
}

void DevicesWindow::keyPressEvent(QKeyEvent* event) {
  // Closed as a dialog is: Escape, where no page wants it, puts the panel back in front.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    close();
    return;
  }
  QWidget::keyPressEvent(event);
}

void DevicesWindow::AddPage(QWidget* page, const QString& title) {
  pages_->addTab(page, title);
}

void DevicesWindow::Open() {
  show();
  raise();
  activateWindow();
  emit Opened();
}

}  // namespace whorlgen::ui
