#include "ui/projection_window.h"

#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QVBoxLayout>

#include "projection/scanner_model.h"

namespace whorlgen::ui {

namespace {
constexpr std::uint32_t kOpaque = 0xFF000000u;
// Once the last light has faded this many persistences, the picture is black.
constexpr double kFadedPersistences = 8.0;
// The words under the picture, on the picture's black.
constexpr QRgb kWordsColour = 0xFFC8C8C8u;

QString NumberText(double value) {
  QLocale locale;
  locale.setNumberOptions(QLocale::OmitGroupSeparator);
  return locale.toString(value, 'g', 15);
}

// What the marks on the picture mean, with a sample of the haze.
QString MarksLegend() {
  const int level = static_cast<int>(projection::BeamImage::kStrayTintLevel);
  return QStringLiteral(
             "Bright where the beam is slow, dim where it is fast. "
             "<span style=\"background-color:%1\">&nbsp;&nbsp;&nbsp;&nbsp;</span> Grey haze: "
             "the beam strays more than %2&nbsp;% of the field from its path, too fast for these "
             "scanners there.")
      .arg(QColor(level, level, level).name(),
           NumberText(projection::ProjectionSimulator::kDefaultStrayFraction * 100));
}

// The run's DAC and the scanners its profile describes; `ended` once the
// run is over.
QString ProfileLegend(const output::ProjectorProfile& profile, const QString& dacName, bool ended) {
  return QString::fromUtf8(
             "%1<b>%2</b>: its projector profile\u2019s scanners, rated %3 pps at "
             "8\u00B0, scanning %4\u00B0 optical; beam guard %5.")
      .arg(ended ? QStringLiteral("Last run, ") : QString(), dacName.toHtmlEscaped(),
           NumberText(profile.ScannerRatingPps), NumberText(profile.ScanAngleDeg),
           profile.Guard.Enabled ? QStringLiteral("on") : QStringLiteral("off"));
}

QLabel* WordsOnBlack(const QString& objectName, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(objectName);
  label->setWordWrap(true);
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, Qt::black);
  palette.setColor(QPalette::WindowText, QColor::fromRgb(kWordsColour));
  label->setPalette(palette);
  return label;
}
}  // namespace

ProjectionPicture::ProjectionPicture(std::function<void(QSize)> resized, QWidget* parent)
    : QWidget(parent), resized_(std::move(resized)) {
  setObjectName("picProjection");
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(64, 64);
}

void ProjectionPicture::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.drawImage(event->rect(), image_, event->rect());
}

void ProjectionPicture::resizeEvent(QResizeEvent* event) {
  image_ = QImage(event->size(), QImage::Format_RGB32);
  image_.fill(Qt::black);
  resized_(event->size());
}

ProjectionWindow::ProjectionWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName("frmProjection");
  setWindowTitle("Whorlgen Projection");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  picture_ = new ProjectionPicture([this](QSize size) { PictureResized(size); }, this);
  layout->addWidget(picture_, 1);

  // Over the picture while no run is on: what would be seen there, and how.
  hint_ = WordsOnBlack("lblProjectionHint", picture_);
  hint_->setAlignment(Qt::AlignCenter);
  hint_->setAutoFillBackground(false);
  hint_->setText(
      "No run is on. Press Start on the panel: what goes to the DAC is drawn here as its "
      "projector's scanners draw it.");
  auto* hintPlace = new QVBoxLayout(picture_);
  hintPlace->setContentsMargins(16, 16, 16, 16);
  hintPlace->addWidget(hint_);

  legend_ = WordsOnBlack("lblProjectionLegend", this);
  // A shade lighter than the picture, so the field's edge stays clear.
  QPalette legendPalette = legend_->palette();
  legendPalette.setColor(QPalette::Window, QColor(28, 28, 28));
  legend_->setPalette(legendPalette);
  legend_->setAutoFillBackground(true);
  legend_->setTextFormat(Qt::RichText);
  legend_->setContentsMargins(8, 4, 8, 6);
  legend_->setText(QString::fromUtf8("The frames a run sends to its DAC, through the scanners of "
                                     "the DAC\u2019s projector profile (Devices\u2026, "
                                     "Projectors). ") +
                   MarksLegend());
  layout->addWidget(legend_);

  resize(600, 600 + legend_->heightForWidth(600));
  redraw_.setTimerType(Qt::PreciseTimer);
  clock_.start();
  connect(&redraw_, &QTimer::timeout, this, &ProjectionWindow::Redraw);
  simulator_.SetScanner(projection::ScannerParametersFor(output::NeutralProfile().ScannerRatingPps,
                                                         output::NeutralProfile().ScanAngleDeg));
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

void ProjectionWindow::BeginRun(const output::ProjectorProfile& profile, const QString& dacName) {
  simulator_.SetScanner(
      projection::ScannerParametersFor(profile.ScannerRatingPps, profile.ScanAngleDeg));
  light_.Clear();
  player_.Reset(NowSec(), light_);
  hint_->hide();
  runProfile_ = profile;
  runDac_ = dacName;
  legend_->setText(ProfileLegend(profile, dacName, false) + ' ' + MarksLegend());
}

void ProjectionWindow::EndRun() {
  hint_->show();
  legend_->setText(ProfileLegend(runProfile_, runDac_, true) + ' ' + MarksLegend());
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
  QImage& image = picture_->Image();
  if (dark_ || image.isNull())
    return;
  const projection::PixelRect area =
      light_.Compose(std::span(reinterpret_cast<std::uint32_t*>(image.bits()),
                               static_cast<std::size_t>(image.width()) * image.height()),
                     afterSec, kOpaque);
  dark_ = afterSec > kFadedPersistences * projection::BeamImage::kDefaultPersistenceSec;
  ++framesDrawn_;
  if (!area.Empty()) {
    const QRect rect(QPoint(area.Left, area.Top), QPoint(area.Right, area.Bottom));
    picture_->update(rect);
  }
}

void ProjectionWindow::PictureResized(QSize size) {
  light_.Resize(size.width(), size.height());
  dark_ = true;
}

void ProjectionWindow::showEvent(QShowEvent*) {
  shown_ = true;
  redraw_.start(kRedrawMs);
}

void ProjectionWindow::hideEvent(QHideEvent*) {
  shown_ = false;
  redraw_.stop();
  TakeArrivals();
  player_.Reset(NowSec(), light_);
}

}  // namespace whorlgen::ui
