#pragma once

#include <QMainWindow>

namespace whorlgen::ui {

// The one window of the program: the control panel.
class FrmWhorlgen : public QMainWindow {
  Q_OBJECT

 public:
  explicit FrmWhorlgen(QWidget* parent = nullptr);
};

}  // namespace whorlgen::ui
