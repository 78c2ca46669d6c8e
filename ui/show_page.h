#pragma once
// The Devices window's "Show" page: the projectors one show plays on. The
// panel's DAC comes first; up to eight further outputs are added from the
// DACs the directory lists, kept in the settings file ([show] outputs) and
// played from the next Start. During a show each output's state is shown
// (playing, left and why, rejoining), how closely they keep in step, and
// "Bring back" opens an output that left again without stopping the show.
// Nothing here waits on a device.

#include <QTimer>
#include <QWidget>

#include <string>

#include "output/show_outputs.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace whorlgen::ui {

class DacDirectory;
class FrmWhorlgen;

class ShowPage : public QWidget {
  Q_OBJECT

 public:
  ShowPage(FrmWhorlgen& window, DacDirectory& directory, QWidget* parent = nullptr);

 public slots:
  // The outputs, their states and the DACs that can be added.
  void Draw();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void AddClicked();
  void RemoveClicked();
  void BringBackClicked();
  // Replaces "being opened again" once the output brought back plays or
  // has left again.
  void TellHowTheRejoinWent(const output::ShowOutputStatus& status);
  // The output of the table's selected row; empty for none.
  std::string Selected() const;

  FrmWhorlgen& window_;
  DacDirectory& directory_;
  QTableWidget* table_ = nullptr;
  QComboBox* catalog_ = nullptr;
  QPushButton* add_ = nullptr;
  QLabel* inStep_ = nullptr;
  QLabel* note_ = nullptr;
  std::string rejoining_;  // the output Bring back was last clicked for
  QTimer redraw_;          // while shown, for the states during a show
};

}  // namespace whorlgen::ui
