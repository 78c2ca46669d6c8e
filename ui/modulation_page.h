#pragma once
// The "Modulation" page of the Devices window: a live meter for every
// source, the four LFOs, the matrix's rows (source, target or action, depth,
// attack, release, polarity), and Bypass.

#include <QWidget>
#include <cstdint>
#include <vector>

#include "modulation/matrix.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QProgressBar;
class QTableWidget;
class QTimer;

namespace whorlgen::ui {

class MusicModulation;

class ModulationPage : public QWidget {
  Q_OBJECT

 public:
  explicit ModulationPage(MusicModulation& music, QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  struct LfoEditor {
    QComboBox* Shape = nullptr;
    QCheckBox* Synced = nullptr;
    QDoubleSpinBox* Rate = nullptr;
  };

  QWidget* BuildMeters();
  QWidget* BuildLfos();
  QWidget* BuildRows();
  void AddRowWidgets(const modulation::Row& row);
  void ShowMatrix();
  void ShowLfos();
  void ApplyEdits();
  void AddRow();
  void RemoveRow();
  void UpdateMeters();

  MusicModulation& music_;
  QCheckBox* chkBypass_ = nullptr;
  std::vector<QProgressBar*> meters_;  // in the order of SourceNames()
  std::vector<LfoEditor> lfos_;
  QTableWidget* rows_ = nullptr;
  QTimer* meterTimer_ = nullptr;
  bool showing_ = false;  // the widgets are being filled from the matrix
  std::uint64_t lastOnsets_ = 0;
  std::uint64_t lastBeats_ = 0;
  int onsetFlash_ = 0;
  int beatFlash_ = 0;
};

}  // namespace whorlgen::ui
