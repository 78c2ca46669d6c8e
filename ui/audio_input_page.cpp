#include "ui/audio_input_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QTimer>

#include "analysis/audio_source.h"
#include "ui/music_modulation.h"

namespace whorlgen::ui {

namespace {

constexpr int kRefreshMs = 250;

}  // namespace

AudioInputPage::AudioInputPage(MusicModulation& music, QWidget* parent)
    : QWidget(parent), music_(music) {
  setObjectName("pageAudioInput");
  chkListen_ = new QCheckBox("Listen to the music", this);
  chkListen_->setObjectName("chkAudioInput");
  device_ = new QComboBox(this);
  device_->setObjectName("cboAudioInputDevice");
  device_->setEditable(true);  // a device ALSA does not list can still be named
  device_->addItem("auto",
                   "JACK port whorlgen:in while a JACK server runs, otherwise ALSA's default");
  device_->addItem("jack", "JACK port whorlgen:in");
  for (const analysis::CaptureDevice& capture : analysis::AlsaCaptureDevices())
    device_->addItem(QString::fromStdString(capture.Name),
                     QString::fromStdString(capture.Description));
  for (int i = 0; i < device_->count(); ++i)
    device_->setItemData(i, device_->itemData(i), Qt::ToolTipRole);
  lblStatus_ = new QLabel(this);
  lblStatus_->setObjectName("lblAudioInputStatus");
  lblStatus_->setWordWrap(true);
  lblStatus_->setTextFormat(Qt::PlainText);
  lblHeard_ = new QLabel(this);
  lblHeard_->setObjectName("lblAudioInputHeard");

  auto* help = new QLabel(
      "Connect the music to the JACK port whorlgen:in (both channels of a stereo pair to the one "
      "port: JACK sums them), or choose an ALSA capture device. Silence is a valid input: every "
      "level stays 0.",
      this);
  help->setWordWrap(true);
  auto* form = new QFormLayout(this);
  form->addRow(chkListen_);
  form->addRow("Device", device_);
  form->addRow("State", lblStatus_);
  form->addRow("Heard", lblHeard_);
  form->addRow(help);

  {
    const QSignalBlocker quiet(device_);
    device_->setCurrentText(music_.InputDevice());
    chkListen_->setChecked(music_.InputOn());
  }
  connect(chkListen_, &QCheckBox::toggled, this, &AudioInputPage::Apply);
  connect(device_, &QComboBox::activated, this, &AudioInputPage::Apply);
  connect(device_->lineEdit(), &QLineEdit::editingFinished, this, &AudioInputPage::Apply);
  connect(&music_, &MusicModulation::InputChanged, this, &AudioInputPage::Refresh);
  refresh_ = new QTimer(this);
  refresh_->setInterval(kRefreshMs);
  connect(refresh_, &QTimer::timeout, this, &AudioInputPage::Refresh);
  Refresh();
}

void AudioInputPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Refresh();
  refresh_->start();
}

void AudioInputPage::hideEvent(QHideEvent* event) {
  refresh_->stop();
  QWidget::hideEvent(event);
}

void AudioInputPage::Apply() {
  music_.SetInput(chkListen_->isChecked(), device_->currentText());
}

void AudioInputPage::Refresh() {
  lblStatus_->setText(music_.InputStatusText());
  const analysis::MusicValues heard = music_.Music();
  lblHeard_->setText(QStringLiteral("tempo %1, %2 onsets, %3 beats")
                         .arg(heard.Bpm > 0.0 ? QString::number(heard.Bpm, 'f', 1) + " BPM"
                                              : QStringLiteral("not found yet"))
                         .arg(heard.Onsets)
                         .arg(heard.Beats));
}

}  // namespace whorlgen::ui
