#pragma once
// The signals that ask a program to end (SIGTERM, SIGINT, SIGHUP) are turned
// into a call on the UI thread, so that a run ends through its end steps and
// its recording is finished rather than cut off.

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace whorlgen::ui {

// While it lives, each of the three signals calls onSignal(signalNumber) from
// the event loop. One at a time; the default actions come back when it goes.
class QuitSignals : public QObject {
 public:
  explicit QuitSignals(std::function<void(int)> onSignal, QObject* parent = nullptr);
  ~QuitSignals() override;
  QuitSignals(const QuitSignals&) = delete;
  QuitSignals& operator=(const QuitSignals&) = delete;

 private:
  void Drain();

  std::function<void(int)> onSignal_;
  QSocketNotifier* notifier_ = nullptr;
};

// A file-size limit (ulimit -f) then makes a write fail with EFBIG, which the
// recording reports, instead of killing the program mid-section.
void IgnoreFileSizeSignal();

}  // namespace whorlgen::ui
