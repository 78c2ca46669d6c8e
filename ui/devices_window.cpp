#include "ui/devices_window.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QTabWidget>
#include <QTableWidget>
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

QTableWidget* MakeDeviceTable(const QString& objectName, const QStringList& columns,
                              QWidget* parent) {
  auto* table = new QTableWidget(0, static_cast<int>(columns.size()), parent);
  table->setObjectName(objectName);
  table->setHorizontalHeaderLabels(columns);
  table->horizontalHeader()->setStretchLastSection(true);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setSelectionMode(QAbstractItemView::SingleSelection);
  table->verticalHeader()->hide();
  return table;
}

}  // namespace whorlgen::ui
