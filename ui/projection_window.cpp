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
// Beam time waiting to be played beyond this is played at once.
constexpr double kMaxBacklogSec = 0.25;
// A run that outpaces the redraws by far (no device pacing it) leaves frames
// out rather than growing the queue without bound.
constexpr std::size_t kMaxPendingPoints = 1 << 20;
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
  pending_.clear();
  pendingFrames_.clear();
  played_ = 0;
  beamAheadSec_ = light_.Time() - NowSec();
}

void ProjectionWindow::FrameSent(std::span<const engine::LaserPoint> frame,
                                 std::int32_t pointsPerSec) {
  if (!isVisible() || pointsPerSec <= 0 || frame.empty() || pending_.size() > kMaxPendingPoints)
    return;
  // After a pause (the first frame, a device that kept the run waiting) the
  // new frame starts playing now rather than catching up.
  const double now = NowSec();
  if (played_ == pending_.size() && light_.Time() < now + beamAheadSec_)
    beamAheadSec_ = light_.Time() - now;
  pending_.insert(pending_.end(), frame.begin(), frame.end());
  pendingFrames_.push_back({pending_.size(), pointsPerSec});
}

void ProjectionWindow::PlayDuePoints(double nowSec, bool all) {
  std::size_t begin = 0;
  double backlogSec = 0;
  for (const Pending& frame : pendingFrames_) {
    if (frame.End > played_)
      backlogSec += static_cast<double>(frame.End - std::max(begin, played_)) / frame.PointsPerSec;
    begin = frame.End;
  }
  // Frames that come faster than they play (no device pacing the run) are
  // played at once rather than piling up.
  const bool catchUp = all || backlogSec > kMaxBacklogSec;
  for (const Pending& frame : pendingFrames_) {
    if (frame.End <= played_)
      continue;
    const double dueSec = nowSec + beamAheadSec_ - light_.Time();
    std::size_t count = frame.End - played_;
    if (!catchUp) {
      if (dueSec <= 0)
        break;
      count = std::min(count, static_cast<std::size_t>(std::ceil(dueSec * frame.PointsPerSec)));
    }
    simulator_.PlayFrame(std::span(pending_.data() + played_, count), frame.PointsPerSec, light_);
    played_ += count;
    dark_ = false;
    if (played_ < frame.End)
      break;  // the rest of this frame is not due yet
  }
  if (catchUp)
    beamAheadSec_ = light_.Time() - nowSec;
  if (played_ == pending_.size()) {
    pending_.clear();
    pendingFrames_.clear();
    played_ = 0;
  }
}

void ProjectionWindow::WhileWaiting() {
  if (NowSec() - lastDrawSec_ >= kRedrawMs / 1000.0)
    Redraw(true);
}

void ProjectionWindow::DrawAllReceived() {
  PlayDuePoints(NowSec(), true);
  Draw(0, false);
}

void ProjectionWindow::Redraw(bool paintNow) {
  const double now = NowSec();
  PlayDuePoints(now, false);
  // Once the frames stop the picture fades in real time, as the eye sees the
  // beam go at the end of a run.
  Draw(pending_.empty() ? std::max(0.0, now + beamAheadSec_ - light_.Time()) : 0, paintNow);
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
  pending_.clear();
  pendingFrames_.clear();
  played_ = 0;
}

}  // namespace whorlgen::ui
