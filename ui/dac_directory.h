#pragma once
// The device directory as the window sees it: the program's DAC families in
// the order the DAC list shows them, and a signal for each new snapshot that
// always arrives on the panel's thread.

#include <QObject>
#include <memory>

#include "discovery/device_directory.h"

namespace whorlgen::ui {

class DacDirectory : public QObject {
  Q_OBJECT

 public:
  // Starts `directory`, which must hold its families already.
  explicit DacDirectory(std::unique_ptr<discovery::DeviceDirectory> directory,
                        QObject* parent = nullptr);
  // Stops the directory's thread before the object goes.
  ~DacDirectory() override;

  discovery::DeviceDirectory& Directory() { return *directory_; }
  discovery::Snapshot Latest() const { return directory_->Latest(); }

 signals:
  // A new snapshot is there. Emitted from the directory's thread, so every
  // connection to an object of the panel's thread is queued.
  void Changed();

 private:
  std::unique_ptr<discovery::DeviceDirectory> directory_;
};

// Ether Dream (listening from now on), IDN, Helios on USB and JACK.
std::unique_ptr<discovery::DeviceDirectory> MakeProgramDirectory();

}  // namespace whorlgen::ui
