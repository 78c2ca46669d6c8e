#pragma once
// The "Audio input" page of the Devices window: where the music comes from
// (a JACK port, an ALSA capture device), whether it is on, and what the
// analysis hears (tempo, onsets, beats).

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QTimer;

namespace whorlgen::ui {

class MusicModulation;

class AudioInputPage : public QWidget {
  Q_OBJECT

 public:
  explicit AudioInputPage(MusicModulation& music, QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void Apply();
  void Refresh();

  MusicModulation& music_;
  QCheckBox* chkListen_ = nullptr;
  QComboBox* device_ = nullptr;
  QLabel* lblStatus_ = nullptr;
  QLabel* lblHeard_ = nullptr;
  QTimer* refresh_ = nullptr;
};

}  // namespace whorlgen::ui
