#pragma once
// The "Devices" window: one page per kind of equipment (network and USB
// DACs, the sound card, projector profiles, remote control). It is a tool
// window beside the panel, never modal, so a run goes on while it is open.

#include <QStringList>
#include <QWidget>

class QTableWidget;
class QTabWidget;

namespace whorlgen::ui {

class DevicesWindow : public QWidget {
  Q_OBJECT

 public:
  explicit DevicesWindow(QWidget* parent = nullptr);

  // Adds a page; the window takes ownership of it.
  void AddPage(QWidget* page, const QString& title);
  // Shows the window, raised, and tells the pages it opened.
  void Open();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 signals:
  // The operator opened the window: pages that scan do it now.
  void Opened();

 private:
  QTabWidget* pages_ = nullptr;
};

// A read-only table of devices for a page: one whole row chosen at a time.
QTableWidget* MakeDeviceTable(const QString& objectName, const QStringList& columns,
                              QWidget* parent);

}  // namespace whorlgen::ui
