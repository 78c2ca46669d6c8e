#include "ui/sound_card_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>

#include <algorithm>

#include "audio/alsa_devices.h"
#include "audio/jack_dac.h"
#include "devices/dac_api.h"
#include "devices/sound_card_settings.h"
#include "ui/settings_file.h"

namespace whorlgen::ui {

namespace {

constexpr const char* kGroup = "soundcard";
// The layout list: its text and the word kept in the file; an empty word
// removes the key, and the library decides from the card's outputs.
struct LayoutChoice {
  const char* Text;
  const char* Word;
};
constexpr LayoutChoice kLayouts[] = {
    {"Automatic: X/Y, or all six on a card with six outputs", ""},
    {"X/Y (left X, right Y)", "xy"},
    {"X/Y/R/G/B/I (six channels)", "xyrgbi"},
};
constexpr int kReportIntervalMs = 1000;

QString CardsText(int cards) {
  if (cards == 0) {
    return QStringLiteral(
        "No sound card found on this machine: \"SoundCard\" plays each frame silently in its own "
        "time, and nothing is heard.");
  }
  return QStringLiteral("Sound cards on this machine: %1.").arg(cards);
}

}  // namespace

SoundCardPage::SoundCardPage(output::DeviceLibraries& libraries, QWidget* parent)
    : QWidget(parent), libraries_(libraries) {
  setObjectName("pageSoundCard");
  device_ = new QComboBox(this);
  device_->setObjectName("cboSoundCardDevice");
  device_->setEditable(true);  // a device ALSA does not list can still be named
  layout_ = new QComboBox(this);
  layout_->setObjectName("cboSoundCardLayout");
  for (const LayoutChoice& choice : kLayouts)
    layout_->addItem(QString::fromUtf8(choice.Text), QString::fromLatin1(choice.Word));
  invertX_ = new QCheckBox("Invert X", this);
  invertX_->setObjectName("chkSoundCardInvertX");
  invertY_ = new QCheckBox("Invert Y", this);
  invertY_->setObjectName("chkSoundCardInvertY");
  swapXY_ = new QCheckBox("Swap X and Y", this);
  swapXY_->setObjectName("chkSoundCardSwapXY");
  level_ = new QSpinBox(this);
  level_->setObjectName("spnSoundCardLevel");
  level_->setRange(0, 100);
  level_->setSuffix(" %");
  cards_ = new QLabel(this);
  cards_->setObjectName("lblSoundCards");
  cards_->setWordWrap(true);
  lastRun_ = new QLabel(this);
  lastRun_->setObjectName("lblSoundCardLastRun");
  lastRun_->setWordWrap(true);
  lastRun_->setTextFormat(Qt::PlainText);
  refused_ = new QLabel(this);
  refused_->setObjectName("lblSoundCardRefused");
  refused_->setWordWrap(true);
  refused_->setTextFormat(Qt::PlainText);
  jackRun_ = new QLabel(this);
  jackRun_->setObjectName("lblJackLastRun");
  jackRun_->setWordWrap(true);

  auto* form = new QFormLayout(this);
  form->addRow("Device", device_);
  form->addRow("Channels", layout_);
  form->addRow(invertX_);
  form->addRow(invertY_);
  form->addRow(swapXY_);
  form->addRow("Output level", level_);
  form->addRow(refused_);
  form->addRow(cards_);
  form->addRow(lastRun_);
  form->addRow(jackRun_);

  connect(device_, &QComboBox::currentTextChanged, this, &SoundCardPage::Save);
  connect(layout_, &QComboBox::currentIndexChanged, this, &SoundCardPage::Save);
  for (QCheckBox* box : {invertX_, invertY_, swapXY_})
    connect(box, &QCheckBox::toggled, this, &SoundCardPage::Save);
  connect(level_, &QSpinBox::valueChanged, this, &SoundCardPage::Save);

  // While the page shows, the last-run line follows the run.
  reportTimer_ = new QTimer(this);
  reportTimer_->setInterval(kReportIntervalMs);
  connect(reportTimer_, &QTimer::timeout, this, &SoundCardPage::ShowRunReport);
  Reload();
}

// Read as the sound-card library reads it, so the page shows what a run
// will use, and says which values in the file it will not.
void SoundCardPage::Reload() {
  loading_ = true;
  const devices::SoundCardSettings settings =
      devices::ReadSoundCardSettings(QFile::encodeName(SettingsFilePath()).toStdString());
  {
    const QSignalBlocker quiet(device_);
    device_->clear();
    for (const audio::AlsaDevice& d : audio::AlsaPlaybackDevices()) {
      device_->addItem(QString::fromStdString(d.Name));
      device_->setItemData(device_->count() - 1, QString::fromStdString(d.Description),
                           Qt::ToolTipRole);
    }
    device_->setCurrentText(QString::fromStdString(settings.Device));
  }
  const char* layout = !settings.Layout                                 ? ""
                       : *settings.Layout == devices::ChannelLayout::XY ? "xy"
                                                                        : "xyrgbi";
  layout_->setCurrentIndex(std::max(0, layout_->findData(QString::fromLatin1(layout))));
  invertX_->setChecked(settings.InvertX);
  invertY_->setChecked(settings.InvertY);
  swapXY_->setChecked(settings.SwapXY);
  level_->setValue(settings.LevelPercent);
  loading_ = false;
  QStringList refused;
  for (const std::string& problem : settings.Problems)
    refused << QString::fromStdString(problem);
  refused_->setText(refused.isEmpty() ? QString()
                                      : QStringLiteral("Refused in the settings file: ") +
                                            refused.join(QStringLiteral("; ")) + '.');
  refused_->setVisible(!refused.isEmpty());
  cards_->setText(CardsText(audio::SoundCardCount()));
  ShowRunReport();
}

void SoundCardPage::Save() {
  if (loading_)
    return;
  const auto settings = OpenSettings();
  settings->beginGroup(kGroup);
  settings->setValue("device", device_->currentText().trimmed());
  const QString layout = layout_->currentData().toString();
  if (layout.isEmpty())
    settings->remove("layout");
  else
    settings->setValue("layout", layout);
  settings->setValue("invert_x", invertX_->isChecked());
  settings->setValue("invert_y", invertY_->isChecked());
  settings->setValue("swap_xy", swapXY_->isChecked());
  settings->setValue("level_percent", level_->value());
}

// The library is asked only once a run has loaded it: the page never loads
// a device library itself. A library without the report says nothing here.
void SoundCardPage::ShowRunReport() {
  const audio::JackRunCounts jack = audio::LastJackRunCounts();
  jackRun_->setText(jack.SampleRate == 0
                        ? QStringLiteral("No run on \"JACK\" yet.")
                        : QStringLiteral("JACK at %1 Hz: %2 underruns, %3 xruns in the current or "
                                         "last run.")
                              .arg(jack.SampleRate)
                              .arg(jack.Underruns)
                              .arg(jack.Xruns));
  if (!libraries_.IsLoaded(output::DeviceLibrary::SoundCard)) {
    lastRun_->setText("No run on \"SoundCard\" yet.");
    return;
  }
  const output::BindResult bound =
      libraries_.Bind(output::DeviceLibrary::SoundCard, "EzAudDacGetReport");
  if (bound.Address == nullptr) {
    lastRun_->setText("This sound-card library gives no report.");
    return;
  }
  EzAudDacReport report{};
  reinterpret_cast<decltype(&EzAudDacGetReport)>(bound.Address)(&report);
  report.device[sizeof report.device - 1] = '\0';
  report.noCardReason[sizeof report.noCardReason - 1] = '\0';
  report.failure[sizeof report.failure - 1] = '\0';
  QString text;
  if (report.failure[0] != '\0') {
    text = QStringLiteral("Last run stopped: %1.").arg(QString::fromUtf8(report.failure));
  } else if (report.cardFound != 0) {
    text = QStringLiteral("\"%1\" plays %2 channels.")
               .arg(QString::fromUtf8(report.device))
               .arg(report.channels);
  } else if (report.pacedWithoutCard != 0) {
    text = QStringLiteral("No sound card (%1): frames are played silently in their own time.")
               .arg(QString::fromUtf8(report.noCardReason));
  } else {
    text = QString::fromUtf8(report.noCardReason);
  }
  if (report.pacedWithoutCard == 0)
    text += QStringLiteral(" Underruns in the current or last run: %1.").arg(report.underruns);
  lastRun_->setText(text);
}

void SoundCardPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Reload();
  reportTimer_->start();
}

void SoundCardPage::hideEvent(QHideEvent* event) {
  reportTimer_->stop();
  QWidget::hideEvent(event);
}

}  // namespace whorlgen::ui
