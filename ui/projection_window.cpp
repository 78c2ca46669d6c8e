#include "ui/projection_window.h"

#include <QComboBox>
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
  connect(&redraw_, &QTimer::timeout, this, &ProjectionWindow::Redraw);
  // For the measuring script: the frames drawn each second, appended to the
  // file this names.
  rateFile_ = qEnvironmentVariable("WHORLGEN_PROJECTION_RATE_FILE");
  BeginRun(output::NeutralProfile());
  // Over the picture's corner, only for a show on several outputs.
  outputs_ = new QComboBox(this);
  outputs_->setObjectName("lstProjectionOutput");
  outputs_->setToolTip("The projector whose frames the view shows");
  outputs_->move(4, 4);
  outputs_->hide();
  connect(outputs_, &QComboBox::activated, this, &ProjectionWindow::OutputPicked);
}

void ProjectionWindow::ShowOutputs(const std::vector<std::string>& names, int shown) {
  outputs_->clear();
  for (const std::string& name : names)
    outputs_->addItem(QString::fromStdString(name));
  outputs_->setCurrentIndex(shown);
  outputs_->adjustSize();
  outputs_->setVisible(names.size() > 1);
}

void ProjectionWindow::BeginRun(const output::ProjectorProfile& profile) {
  simulator_.SetScanner(
      projection::ScannerParametersFor(profile.ScannerRatingPps, profile.ScanAngleDeg));
  light_.Clear();
  player_.Reset(NowSec(), light_);
}

void ProjectionWindow::FrameSent(std::span<const engine::LaserPoint> frame,
                                 std::int32_t pointsPerSec) {
  if (!shown_)
    return;
  std::lock_guard lock(arrivalsMutex_);
  // A view that falls far behind (not redrawn for a long while) drops frames
  // rather than hoarding them.
  if (arrivalPoints_ + frame.size() > projection::FramePlayer::kMaxPendingPoints)
    return;
  arrivals_.push_back({{frame.begin(), frame.end()}, pointsPerSec, NowSec()});
  arrivalPoints_ += frame.size();
}

void ProjectionWindow::TakeArrivals() {
  std::vector<Arrival> arrived;
  {
    std::lock_guard lock(arrivalsMutex_);
    arrived.swap(arrivals_);
    arrivalPoints_ = 0;
  }
  for (const Arrival& a : arrived)
    player_.Receive(a.Points, a.PointsPerSec, a.AtSec, light_);
}

void ProjectionWindow::DrawAllReceived() {
  TakeArrivals();
  if (player_.PlayDue(NowSec(), true, simulator_, light_))
    dark_ = false;
  Draw(0);
}

void ProjectionWindow::Redraw() {
  TakeArrivals();
  const double now = NowSec();
  if (player_.PlayDue(now, false, simulator_, light_))
    dark_ = false;
  // Once the frames stop the picture fades in real time, as the eye sees the
  // beam go at the end of a run.
  Draw(player_.IdleSec(now, light_));
}

void ProjectionWindow::Draw(double afterSec) {
  if (dark_ || image_.isNull())
    return;
  const projection::PixelRect area =
      light_.Compose(std::span(reinterpret_cast<std::uint32_t*>(image_.bits()),
                               static_cast<std::size_t>(image_.width()) * image_.height()),
                     afterSec, kOpaque);
  dark_ = afterSec > kFadedPersistences * projection::BeamImage::kDefaultPersistenceSec;
  ++framesDrawn_;
  if (!area.Empty()) {
    const QRect rect(QPoint(area.Left, area.Top), QPoint(area.Right, area.Bottom));
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
  shown_ = true;
  sinceReport_.start();
  redraw_.start(kRedrawMs);
}

void ProjectionWindow::hideEvent(QHideEvent*) {
  shown_ = false;
  redraw_.stop();
  TakeArrivals();
  player_.Reset(NowSec(), light_);
}

}  // namespace whorlgen::ui
