#pragma once
// The Devices window's "Sound card" page: which ALSA device "SoundCard"
// plays on, the channel layout, inversions, swap and output level, kept in
// the settings file's [soundcard] section, which the sound-card library
// reads whenever a run opens the card; values there that the library refuses
// are named. It also says whether the machine has
// a card, and how the current or last run went (no card, a failure, the
// underruns), for the sound card and for JACK.

#include <QWidget>

#include "output/device_library.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QSpinBox;
class QTimer;

namespace whorlgen::ui {

class SoundCardPage : public QWidget {
  Q_OBJECT

 public:
  // `libraries` must outlive the page; the page asks the sound-card library
  // for its report only once a run has loaded it.
  explicit SoundCardPage(output::DeviceLibraries& libraries, QWidget* parent = nullptr);

  // Lists ALSA's devices again and reads the settings file.
  void Reload();
  // The last-run line from the library's report.
  void ShowRunReport();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void Save();

  output::DeviceLibraries& libraries_;
  QComboBox* device_ = nullptr;
  QComboBox* layout_ = nullptr;
  QCheckBox* invertX_ = nullptr;
  QCheckBox* invertY_ = nullptr;
  QCheckBox* swapXY_ = nullptr;
  QSpinBox* level_ = nullptr;
  QLabel* refused_ = nullptr;  // values in the file that are not used
  QLabel* cards_ = nullptr;
  QLabel* lastRun_ = nullptr;
  QLabel* jackRun_ = nullptr;
  QTimer* reportTimer_ = nullptr;
  bool loading_ = false;
};

}  // namespace whorlgen::ui
