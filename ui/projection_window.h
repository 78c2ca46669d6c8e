#pragma once
// The "Projection" window: the frames that went to the DAC as the projector
// draws them, through the modelled scanners of the run's projector profile.
// It only shows the simulation's image; frames reach it through the sink the
// run's driver is given, and are played at the next redraw.

#include <QElapsedTimer>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "engine/frame_generator.h"
#include "output/projector_profile.h"
#include "projection/beam_image.h"
#include "projection/frame_player.h"
#include "projection/projection_simulator.h"

namespace whorlgen::ui {

class ProjectionWindow : public QWidget, public output::SentFrameView {
  Q_OBJECT

 public:
  // Redraws this often while shown.
  static constexpr int kRedrawMs = 16;

  explicit ProjectionWindow(QWidget* parent = nullptr);

  // A run starts on a DAC with this profile: its scanners, a dark picture.
  void BeginRun(const output::ProjectorProfile& profile);
  // Each frame the run's driver sent. Frames are kept only while the window
  // is shown, and played in real time from their arrival.
  void FrameSent(std::span<const engine::LaserPoint> frame, std::int32_t pointsPerSec) override;
  // While the device makes the run wait, the window redraws on its own
  // clock, painting at once instead of through the event loop.
  bool RedrawsWhileWaiting() const override { return isVisible(); }
  void WhileWaiting() override;
  // Plays the frames whose time has come and shows the picture: painted at
  // once, or scheduled for the event loop.
  void Redraw(bool paintNow = false);
  // Plays every frame received, however early, and draws the picture as it
  // stands at the end of the last: the same picture on every machine.
  void DrawAllReceived();

  const QImage& Image() const { return image_; }
  std::int64_t FramesDrawn() const { return framesDrawn_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  double NowSec() const { return clock_.nsecsElapsed() / 1e9; }
  void Draw(double afterSec, bool paintNow);
  void ReportRate();

  projection::ProjectionSimulator simulator_;
  projection::BeamImage light_;
  QImage image_;
  projection::FramePlayer player_;
  QTimer redraw_;
  QElapsedTimer clock_;
  double lastDrawSec_ = -1;
  bool dark_ = true;  // the picture has faded out: nothing to redraw
  std::int64_t framesDrawn_ = 0;
  QString rateFile_;
  QElapsedTimer sinceReport_;
  std::int64_t framesAtReport_ = 0;
};

}  // namespace whorlgen::ui
