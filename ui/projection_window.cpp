#include "ui/projection_window.h"

#include <QFile>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

#include "projection/scanner_model.h"

namespace whorlgen::ui {

namespace {
constexpr std::uint32_t kOpaque = 0xFF000000u;
// Once the last light has faded this many persistences, the picture is black.
constexpr double kFadedPersistences = 8.0;
}  // namespace

ProjectionWindow::ProjectionWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName("frmProjection");
  setWindowTitle("Whorlgen Projection");
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(64, 64);
  resize(600, 600);
  redraw_.setTimerType(Qt::PreciseTimer);
  clock_.start();
  connect(&redraw_, &QTimer::timeout, this, [this] {
    // Not again right after a redraw during the device's wait.
    if (NowSec() - lastDrawSec_ >= kRedrawMs / 2000.0)
      Redraw();
  });
  // For the measuring script: the frames drawn each second, appended to the
  // file this names.
  rateFile_ = qEnvironmentVariable("WHORLGEN_PROJECTION_RATE_FILE");
  BeginRun(output::NeutralProfile());
}

void ProjectionWindow::BeginRun(const output::ProjectorProfile& profile) {
  simulator_.SetScanner(
      projection::ScannerParametersFor(profile.ScannerRatingPps, profile.ScanAngleDeg));
  light_.Clear();
  player_.Reset(NowSec(), light_);
}

void ProjectionWindow::FrameSent(std::span<const engine::LaserPoint> frame,
                                 std::int32_t pointsPerSec) {
  if (isVisible())
    player_.Receive(frame, pointsPerSec, NowSec(), light_);
}

void ProjectionWindow::WhileWaiting() {
  if (NowSec() - lastDrawSec_ >= kRedrawMs / 1000.0)
    Redraw(true);
}

void ProjectionWindow::DrawAllReceived() {
  if (player_.PlayDue(NowSec(), true, simulator_, light_))
    dark_ = false;
  Draw(0, false);
}

void ProjectionWindow::Redraw(bool paintNow) {
  const double now = NowSec();
  if (player_.PlayDue(now, false, simulator_, light_))
    dark_ = false;
  // Once the frames stop the picture fades in real time, as the eye sees the
  // beam go at the end of a run.
  Draw(player_.IdleSec(now, light_), paintNow);
}

void ProjectionWindow::Draw(double afterSec, bool paintNow) {
  if (dark_ || image_.isNull())
    return;
  const projection::PixelRect area =
      light_.Compose(std::span(reinterpret_cast<std::uint32_t*>(image_.bits()),
                               static_cast<std::size_t>(image_.width()) * image_.height()),
                     afterSec, kOpaque);
  dark_ = afterSec > kFadedPersistences * projection::BeamImage::kDefaultPersistenceSec;
  lastDrawSec_ = NowSec();
  ++framesDrawn_;
  if (!area.Empty()) {
    const QRect rect(QPoint(area.Left, area.Top), QPoint(area.Right, area.Bottom));
    if (paintNow)
      repaint(rect);
    else
      update(rect);
  }
  if (!rateFile_.isEmpty() && sinceReport_.elapsed() >= 1000)
    ReportRate();
}

void ProjectionWindow::ReportRate() {
  QFile file(rateFile_);
  if (file.open(QIODevice::Append | QIODevice::Text)) {
    file.write(QStringLiteral("%1 frames drawn in %2 ms\n")
                   .arg(framesDrawn_ - framesAtReport_)
                   .arg(sinceReport_.restart())
                   .toUtf8());
  }
  framesAtReport_ = framesDrawn_;
}

void ProjectionWindow::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.drawImage(event->rect(), image_, event->rect());
}

void ProjectionWindow::resizeEvent(QResizeEvent* event) {
  const QSize size = event->size();
  image_ = QImage(size, QImage::Format_RGB32);
  image_.fill(Qt::black);
  light_.Resize(size.width(), size.height());
  dark_ = true;
}

void ProjectionWindow::showEvent(QShowEvent*) {
  sinceReport_.start();
  redraw_.start(kRedrawMs);
}

void ProjectionWindow::hideEvent(QHideEvent*) {
  redraw_.stop();
  player_.Reset(NowSec(), light_);
}

}  // namespace whorlgen::ui
