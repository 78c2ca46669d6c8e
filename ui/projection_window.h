#pragma once
// The "Projection" window: the frames that went to the DAC as the projector
// draws them, through the modelled scanners of the run's projector profile.
// It only shows the simulation's image; frames reach it through the sink the
// run's driver is given, and are played at the next redraw.

#include <QElapsedTimer>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/frame_generator.h"
#include "output/projector_profile.h"
#include "projection/beam_image.h"
#include "projection/frame_player.h"
#include "projection/projection_simulator.h"

class QComboBox;

namespace whorlgen::ui {

class ProjectionWindow : public QWidget, public output::SentFrameView {
  Q_OBJECT

 public:
  // Redraws this often while shown.
  static constexpr int kRedrawMs = 16;

  explicit ProjectionWindow(QWidget* parent = nullptr);

  // A run starts on a DAC with this profile: its scanners, a dark picture.
  // Also when the operator picks another output of a show.
  void BeginRun(const output::ProjectorProfile& profile);
  // A show on several outputs: a choice of which one the view shows, with
  // `shown` chosen. Fewer than two names take the choice away.
  void ShowOutputs(const std::vector<std::string>& names, int shown = 0);
  // Each frame the run's driver sent, from the device's thread. Frames are
  // kept only while the window is shown, and played in real time from their
  // arrival.
  void FrameSent(std::span<const engine::LaserPoint> frame, std::int32_t pointsPerSec) override;
  // Plays the frames whose time has come and schedules the picture.
  void Redraw();
  // Plays every frame received, however early, and draws the picture as it
  // stands at the end of the last: the same picture on every machine.
  void DrawAllReceived();

  const QImage& Image() const { return image_; }
  std::int64_t FramesDrawn() const { return framesDrawn_; }

 signals:
  // The operator picked the output at this index of ShowOutputs' names.
  void OutputPicked(int index);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  double NowSec() const { return clock_.nsecsElapsed() / 1e9; }
  // Hands the frames that arrived since the last call to the player.
  void TakeArrivals();
  void Draw(double afterSec);
  void ReportRate();

  QComboBox* outputs_ = nullptr;
  projection::ProjectionSimulator simulator_;
  projection::BeamImage light_;
  QImage image_;
  projection::FramePlayer player_;
  struct Arrival {
    std::vector<engine::LaserPoint> Points;
    std::int32_t PointsPerSec;
    double AtSec;
  };
  // Frames from the device's thread, waiting for the next redraw.
  std::mutex arrivalsMutex_;
  std::vector<Arrival> arrivals_;
  std::size_t arrivalPoints_ = 0;
  std::atomic<bool> shown_{false};
  QTimer redraw_;
  QElapsedTimer clock_;
  bool dark_ = true;  // the picture has faded out: nothing to redraw
  std::int64_t framesDrawn_ = 0;
  QString rateFile_;
  QElapsedTimer sinceReport_;
  std::int64_t framesAtReport_ = 0;
};

}  // namespace whorlgen::ui
