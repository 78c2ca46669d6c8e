#pragma once
// The "Control" page of the Devices window: the OSC receiver (on or off, its
// port, how many messages it ignored) and the MIDI input with its learned
// bindings.

#include <QWidget>

class QCheckBox;
class QLabel;
class QListWidget;
class QSpinBox;
class QTimer;

namespace whorlgen::ui {

class LiveControl;

class ControlPage : public QWidget {
  Q_OBJECT

 public:
  explicit ControlPage(LiveControl& live, QWidget* parent = nullptr);

 private:
  void ApplyOsc();
  void ForgetSelected();
  void Refresh();

  LiveControl& live_;
  QCheckBox* chkOscEnabled_ = nullptr;
  QSpinBox* oscPort_ = nullptr;
  QLabel* lblOscStatus_ = nullptr;
  QLabel* lblIgnored_ = nullptr;
  QLabel* lblMidiStatus_ = nullptr;
  QListWidget* lstBindings_ = nullptr;
  QTimer* refresh_ = nullptr;
};

}  // namespace whorlgen::ui
