#include "ui/control_page.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "control/panel_values.h"
#include "ui/live_control.h"
#include "ui/settings_file.h"

namespace whorlgen::ui {

namespace {

constexpr int kRefreshInterval_ms = 500;

}  // namespace

ControlPage::ControlPage(LiveControl& live, QWidget* parent) : QWidget(parent), live_(live) {
  setObjectName("pageControl");
  auto* layout = new QVBoxLayout(this);

  auto* osc = new QGroupBox("OSC over UDP", this);
  auto* oscForm = new QFormLayout(osc);
  chkOscEnabled_ = new QCheckBox("Receive OSC messages", osc);
  chkOscEnabled_->setObjectName("chkOscEnabled");
  oscPort_ = new QSpinBox(osc);
  oscPort_->setObjectName("spnOscPort");
  oscPort_->setRange(1, 65535);
  auto* apply = new QPushButton("Apply", osc);
  apply->setObjectName("cmdOscApply");
  auto* portRow = new QHBoxLayout;
  portRow->addWidget(oscPort_);
  portRow->addWidget(apply);
  lblOscStatus_ = new QLabel(osc);
  lblOscStatus_->setObjectName("lblOscStatus");
  lblOscStatus_->setWordWrap(true);
  oscSenders_ = new QLineEdit(osc);
  oscSenders_->setObjectName("txtOscSenders");
  oscSenders_->setPlaceholderText("anyone (or e.g. 192.168.1.0/24, 10.0.0.5)");
  lblIgnored_ = new QLabel(osc);
  lblIgnored_->setObjectName("lblOscIgnored");
  lblIgnored_->setTextFormat(Qt::PlainText);
  // A reason from the wire may be long: it is cut to the page's width on one
  // line (the whole of it in the tooltip) and never widens or pushes the page.
  lblIgnored_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  oscForm->addRow(chkOscEnabled_);
  oscForm->addRow("Port:", portRow);
  oscForm->addRow("Senders allowed:", oscSenders_);
  oscForm->addRow("State:", lblOscStatus_);
  oscForm->addRow("Ignored:", lblIgnored_);
  layout->addWidget(osc);

  auto* midi = new QGroupBox("MIDI", this);
  auto* midiLayout = new QVBoxLayout(midi);
  lblMidiStatus_ = new QLabel(midi);
  lblMidiStatus_->setObjectName("lblMidiStatus");
  lblMidiStatus_->setWordWrap(true);
  auto* hint =
      new QLabel(QString::fromUtf8("To learn: choose \u201cLearn MIDI\u201d in the menu bar, "
                                   "move a bar (or press Start, Stop or a mode), then "
                                   "turn a knob or press a key on the controller."),
                 midi);
  hint->setWordWrap(true);
  lstBindings_ = new QListWidget(midi);
  lstBindings_->setObjectName("lstMidiBindings");
  auto* forget = new QPushButton("Forget selected", midi);
  forget->setObjectName("cmdMidiForget");
  midiLayout->addWidget(lblMidiStatus_);
  midiLayout->addWidget(hint);
  midiLayout->addWidget(lstBindings_);
  midiLayout->addWidget(forget);
  layout->addWidget(midi);

  lblSettings_ = new QLabel(this);
  lblSettings_->setObjectName("lblSettingsProblem");
  lblSettings_->setWordWrap(true);
  lblSettings_->setTextFormat(Qt::PlainText);
  layout->addWidget(lblSettings_);

  connect(apply, &QPushButton::clicked, this, &ControlPage::ApplyOsc);
  connect(forget, &QPushButton::clicked, this, &ControlPage::ForgetSelected);
  connect(&live_, &LiveControl::Changed, this, &ControlPage::Refresh);
  // The ignored count grows on the receiver's thread; shown while the page is up.
  refresh_ = new QTimer(this);
  refresh_->setInterval(kRefreshInterval_ms);
  connect(refresh_, &QTimer::timeout, this, &ControlPage::Refresh);
  refresh_->start();
  Refresh();
}

void ControlPage::ApplyOsc() {
  live_.SetOsc(chkOscEnabled_->isChecked(), oscPort_->value(), oscSenders_->text());
}

void ControlPage::ForgetSelected() {
  if (const QListWidgetItem* item = lstBindings_->currentItem())
    live_.ForgetMidi(item->data(Qt::UserRole).toString().toStdString());
}

void ControlPage::Refresh() {
  if (!isVisible() && sender() == refresh_)
    return;
  lblOscStatus_->setText(live_.OscStatus());
  QString ignored = QString::number(live_.Ignored());
  if (!live_.LastRemoteProblem().isEmpty())
    ignored += " (last: " + live_.LastRemoteProblem() + ")";
  lblIgnored_->setText(
      lblIgnored_->fontMetrics().elidedText(ignored, Qt::ElideMiddle, lblIgnored_->width()));
  lblIgnored_->setToolTip(ignored);
  lblMidiStatus_->setText(live_.MidiStatus());
  const QString settingsProblem = SettingsFileProblem();
  lblSettings_->setText(settingsProblem);
  lblSettings_->setVisible(!settingsProblem.isEmpty());
  if (sender() == refresh_)
    return;  // the rest changes only with a Changed

  chkOscEnabled_->setChecked(live_.OscEnabled());
  oscPort_->setValue(live_.OscPort());
  oscSenders_->setText(live_.OscSenders());

  const int row = lstBindings_->currentRow();
  lstBindings_->clear();
  for (const control::MidiBinding& binding : live_.Midi().Bindings()) {
    auto* item = new QListWidgetItem(
        QString::fromStdString(control::TargetCaption(binding.Target)) +
            QString::fromUtf8(" \u2190 ") +
            QString::fromStdString(control::MidiMapping::DescribeMessage(binding)),
        lstBindings_);
    item->setData(Qt::UserRole, QString::fromStdString(binding.Target));
  }
  lstBindings_->setCurrentRow(std::min(row, lstBindings_->count() - 1));
}

}  // namespace whorlgen::ui
