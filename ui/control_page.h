#pragma once
// The "Control" page of the Devices window: the OSC receiver (on or off, its
// port, the senders allowed, how many messages it ignored) and the MIDI input
// with its learned bindings, each named by the panel's caption.

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
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
  QLineEdit* oscSenders_ = nullptr;
  QLabel* lblOscStatus_ = nullptr;
  QLabel* lblIgnored_ = nullptr;  // one line, whatever the last reason's length
  QLabel* lblSettings_ = nullptr;
  QLabel* lblMidiStatus_ = nullptr;
  QListWidget* lstBindings_ = nullptr;
  QTimer* refresh_ = nullptr;
};

}  // namespace whorlgen::ui
