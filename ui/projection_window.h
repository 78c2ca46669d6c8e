#pragma once
// The "Projection" window: the frames that went to the DAC as the projector
// draws them, through the modelled scanners of the run's projector profile.
// It only shows the simulation's image; frames reach it through the sink the
// run's driver is given, and are played at the next redraw. A legend below
// the picture says what is drawn and with which profile; while no run is on,
// a hint over the picture says how to see something there.

#include <QElapsedTimer>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class QLabel;

#include "engine/frame_generator.h"
#include "output/projector_profile.h"
#include "projection/beam_image.h"
#include "projection/frame_player.h"
#include "projection/projection_simulator.h"

class QComboBox;

namespace whorlgen::ui {

// The picture itself: the simulation's image, drawn as it is.
class ProjectionPicture : public QWidget {
 public:
  explicit ProjectionPicture(std::function<void(QSize)> resized, QWidget* parent);
  QImage& Image() { return image_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  std::function<void(QSize)> resized_;
  QImage image_;
};

class ProjectionWindow : public QWidget, public output::SentFrameView {
  Q_OBJECT

 public:
  // Redraws this often while shown.
  static constexpr int kRedrawMs = 16;

  explicit ProjectionWindow(QWidget* parent = nullptr);

  // A run starts on the named DAC with this profile: its scanners, a dark
  // picture, the legend naming them.
  void BeginRun(const output::ProjectorProfile& profile, const QString& dacName);
  // The run's last step is done: the hint shows again, the picture fades.
  void EndRun();
  // A show on several outputs: a choice of which one the view shows, with
  // `shown` chosen. Fewer than two names take the choice away.
  void ShowOutputs(const std::vector<std::string>& names, int shown = 0);
  // Each frame the run's driver sent, from the device's thread. Frames are
  // kept only while the window is shown, and played in real time from their
  // arrival.
  void FrameSent(std::span<const engine::LaserPoint> frame, std::int32_t pointsPerSec) override;
  // Plays the frames whose time has come and schedules the picture.
  void Redraw();

  const QImage& Image() const { return picture_->Image(); }
  // Where the picture is drawn, below it the legend.
  QWidget* Picture() const { return picture_; }
  std::int64_t FramesDrawn() const { return framesDrawn_; }

 signals:
  // The operator picked the output at this index of ShowOutputs' names.
  void OutputPicked(int index);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  // The tests' way to a picture that does not depend on the machine's pace.
  friend class ProjectionWindowProbe;

  // Plays every frame received, however early, and draws the picture as it
  // stands at the end of the last: the same picture on every machine.
  void DrawAllReceived();
  double NowSec() const { return clock_.nsecsElapsed() / 1e9; }
  // Hands the frames that arrived since the last call to the player.
  void TakeArrivals();
  void Draw(double afterSec);
  void PictureResized(QSize size);

  ProjectionPicture* picture_ = nullptr;
  QLabel* hint_ = nullptr;
  QLabel* legend_ = nullptr;
  output::ProjectorProfile runProfile_;  // the latest run's, for the legend
  QString runDac_;
  QComboBox* outputs_ = nullptr;
  projection::ProjectionSimulator simulator_;
  projection::BeamImage light_;
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
};

}  // namespace whorlgen::ui
