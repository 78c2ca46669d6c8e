#include "ui/live_control.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSocketNotifier>

#include "ui/frm_whorlgen.h"
#include "ui/music_modulation.h"
#include "ui/settings_file.h"

namespace whorlgen::ui {

namespace {

constexpr int kMorphStepsPerSecond = 30;
constexpr int kMaxRecentPresets = 8;
constexpr char kPresetFilter[] = "Whorlgen presets (*.json);;All files (*)";

const QString kLearnCaption = QStringLiteral("Learn MIDI");

// A guard that marks the panel's changes as ours, not the operator's.
class Applying {
 public:
  explicit Applying(bool& flag) : flag_(flag), before_(flag) { flag_ = true; }
  ~Applying() { flag_ = before_; }
  Applying(const Applying&) = delete;
  Applying& operator=(const Applying&) = delete;

 private:
  bool& flag_;
  bool before_;
};

}  // namespace

LiveControl::LiveControl(FrmWhorlgen& window)
    : QObject(&window),
      window_(window),
      bars_(window.BarRanges()),
      midi_(bars_),
      osc_(bars_, [this] {
        // liblo's thread: the commands are carried out on the panel's.
        QMetaObject::invokeMethod(this, &LiveControl::DrainOsc, Qt::QueuedConnection);
      }) {
  setObjectName("liveControl");
  BuildMenus();
  LoadMidiMapping();
  OpenMidiInput();
  connect(&window_, &FrmWhorlgen::ControlTouched, this, &LiveControl::OnControlTouched);

  morphTimer_.setInterval(1000 / kMorphStepsPerSecond);
  connect(&morphTimer_, &QTimer::timeout, this, &LiveControl::MorphStep);

  const auto settings = OpenSettings();
  oscEnabled_ = settings->value("osc/enabled", false).toBool();
  bool portIsNumber = false;
  oscPort_ = settings->value("osc/port", control::kDefaultOscPort).toInt(&portIsNumber);
  if (!portIsNumber)
    oscPort_ = control::kDefaultOscPort;
  ListenOsc();
}

LiveControl::~LiveControl() {
  // liblo's thread stops before anything it could post to goes.
  osc_.Close();
}

void LiveControl::BuildMenus() {
  QMenuBar* bar = window_.menuBar();
  mnuPresets_ = bar->addMenu("Presets");
  mnuPresets_->setObjectName("mnuPresets");
  mnuPresets_->addAction(QString::fromUtf8("Save\u2026"), this, &LiveControl::mnuPresetSave_Click);
  mnuPresets_->addAction(QString::fromUtf8("Open\u2026"), this, &LiveControl::mnuPresetOpen_Click);
  mnuPresets_->addAction(QString::fromUtf8("Morph to\u2026"), this,
                         &LiveControl::mnuPresetMorph_Click);
  mnuRecent_ = mnuPresets_->addMenu("Recent");
  connect(mnuPresets_, &QMenu::aboutToShow, this, &LiveControl::FillRecentMenu);

  mnuLearnMidi_ = bar->addAction(kLearnCaption);
  mnuLearnMidi_->setObjectName("mnuLearnMidi");
  mnuLearnMidi_->setCheckable(true);
  connect(mnuLearnMidi_, &QAction::triggered, this, &LiveControl::mnuLearnMidi_Click);
}

// ---- Presets ----

control::Preset LiveControl::CurrentFigure() const {
  control::Preset figure;
  for (const control::BarRange& bar : bars_)
    figure.Controls[bar.Name] = window_.BarPosition(bar.Name);
  figure.OpMode = window_.SelectedOpMode();
  figure.LimitVelocity = window_.Checked(FrmWhorlgen::Check::LimitVelocity);
  figure.ShowDots = window_.Checked(FrmWhorlgen::Check::ShowDots);
  if (music_ != nullptr)
    music_->KeepInFigure(figure);
  return figure;
}

QString LiveControl::SavePreset(const QString& file) {
  const std::string problem = control::WritePresetFile(file.toStdString(), CurrentFigure());
  if (!problem.empty())
    return QString::fromStdString(problem);
  RememberRecent(file);
  return {};
}

QString LiveControl::ReadPreset(const QString& file, control::Preset& preset) const {
  control::PresetReading reading = control::ReadPresetFile(file.toStdString(), bars_);
  if (!reading.preset)
    return QFileInfo(file).fileName() + ": " + QString::fromStdString(reading.problem);
  if (music_ != nullptr && !reading.preset->Modulation.empty()) {
    if (const std::string problem = music_->CheckPreset(reading.preset->Modulation);
        !problem.empty())
      return QFileInfo(file).fileName() + ": " + QString::fromStdString(problem);
  }
  preset = std::move(*reading.preset);
  return {};
}

QString LiveControl::OpenPreset(const QString& file) {
  control::Preset preset;
  if (QString problem = ReadPreset(file, preset); !problem.isEmpty())
    return problem;
  morphTimer_.stop();
  ApplyFigure(preset);
  ApplyModeAndChecks(preset);
  RememberRecent(file);
  return {};
}

QString LiveControl::MorphTo(const QString& file, double duration_s) {
  control::Preset preset;
  if (QString problem = ReadPreset(file, preset); !problem.isEmpty())
    return problem;
  RememberRecent(file);
  morphFrom_ = CurrentFigure();
  morphTo_ = std::move(preset);
  morphDuration_ms_ = std::max(duration_s, 0.0) * 1000.0;
  morphClock_.start();
  MorphStep();
  if (morphDuration_ms_ > 0.0)
    morphTimer_.start();
  return {};
}

// One step of the glide: every bar of the destination a little further,
// each through its Change handler. The mode and the check boxes, which have
// no in-between, switch on arrival.
void LiveControl::MorphStep() {
  const double progress = morphDuration_ms_ > 0.0
                              ? static_cast<double>(morphClock_.elapsed()) / morphDuration_ms_
                              : 1.0;
  control::Preset step;
  for (const auto& [name, to] : morphTo_.Controls)
    step.Controls[name] = control::MorphPosition(morphFrom_.Controls[name], to, progress);
  ApplyFigure(step);
  if (progress >= 1.0) {
    morphTimer_.stop();
    ApplyModeAndChecks(morphTo_);
  }
}

void LiveControl::ApplyFigure(const control::Preset& preset) {
  const Applying ours(applying_);
  for (const auto& [name, position] : preset.Controls)
    window_.SetBarPosition(name, position);
}

void LiveControl::ApplyModeAndChecks(const control::Preset& preset) {
  const Applying ours(applying_);
  if (preset.OpMode)
    window_.SetOpMode(*preset.OpMode);
  if (preset.LimitVelocity)
    window_.SetCheck(FrmWhorlgen::Check::LimitVelocity, *preset.LimitVelocity);
  if (preset.ShowDots)
    window_.SetCheck(FrmWhorlgen::Check::ShowDots, *preset.ShowDots);
  // After the bars: the matrix's bars rest where the preset put them.
  if (music_ != nullptr)
    music_->ApplyPreset(preset.Modulation);
}

QStringList LiveControl::RecentPresets() const {
  return OpenSettings()->value("presets/recent").toStringList();
}

void LiveControl::RememberRecent(const QString& file) {
  const QString path = QFileInfo(file).absoluteFilePath();
  QStringList recent = RecentPresets();
  recent.removeAll(path);
  recent.prepend(path);
  while (recent.size() > kMaxRecentPresets)
    recent.removeLast();
  OpenSettings()->setValue("presets/recent", recent);
}

void LiveControl::FillRecentMenu() {
  mnuRecent_->clear();
  const QStringList recent = RecentPresets();
  mnuRecent_->setEnabled(!recent.isEmpty());
  for (const QString& file : recent) {
    mnuRecent_->addAction(QFileInfo(file).fileName(), this, [this, file] {
      if (const QString problem = OpenPreset(file); !problem.isEmpty())
        QMessageBox::warning(&window_, window_.windowTitle(), problem);
    });
  }
}

void LiveControl::mnuPresetSave_Click() {
  QString file = QFileDialog::getSaveFileName(&window_, "Save preset", {}, kPresetFilter);
  if (file.isEmpty())
    return;
  if (QFileInfo(file).suffix().isEmpty())
    file += ".json";
  if (const QString problem = SavePreset(file); !problem.isEmpty())
    QMessageBox::warning(&window_, window_.windowTitle(), problem);
}

void LiveControl::mnuPresetOpen_Click() {
  const QString file = QFileDialog::getOpenFileName(&window_, "Open preset", {}, kPresetFilter);
  if (file.isEmpty())
    return;
  if (const QString problem = OpenPreset(file); !problem.isEmpty())
    QMessageBox::warning(&window_, window_.windowTitle(), problem);
}

void LiveControl::mnuPresetMorph_Click() {
  const QString file = QFileDialog::getOpenFileName(&window_, "Morph to preset", {}, kPresetFilter);
  if (file.isEmpty())
    return;
  bool ok = false;
  const double seconds = QInputDialog::getDouble(&window_, "Morph to preset",
                                                 "Seconds to glide:", 5.0, 0.0, 600.0, 1, &ok);
  if (!ok)
    return;
  if (const QString problem = MorphTo(file, seconds); !problem.isEmpty())
    QMessageBox::warning(&window_, window_.windowTitle(), problem);
}

// ---- MIDI ----

void LiveControl::LoadMidiMapping() {
  const auto settings = OpenSettings();
  settings->beginGroup("midi");
  for (const QString& target : settings->childKeys()) {
    const auto binding =
        midi_.ParseBinding(target.toStdString(), settings->value(target).toString().toStdString());
    if (binding)
      midi_.Bind(*binding);
  }
}

void LiveControl::SaveMidiMapping() {
  const auto settings = OpenSettings();
  settings->remove("midi");
  settings->beginGroup("midi");
  for (const control::MidiBinding& binding : midi_.Bindings())
    settings->setValue(QString::fromStdString(binding.Target),
                       QString::fromStdString(control::MidiMapping::FormatMessage(binding)));
  settings->endGroup();
  emit Changed();
}

void LiveControl::OpenMidiInput() {
  const std::string problem = midiInput_.Open();
  if (!problem.empty()) {
    midiStatus_ = QString::fromStdString(problem);
    return;
  }
  midiStatus_ = "ALSA sequencer client \"Whorlgen\", input port \"Whorlgen in\"";
  midiNotifier_ = new QSocketNotifier(midiInput_.PollDescriptor(), QSocketNotifier::Read, this);
  connect(midiNotifier_, &QSocketNotifier::activated, this, &LiveControl::ReadMidiInput);
}

void LiveControl::ReadMidiInput() {
  for (const control::MidiEvent& event : midiInput_.Read())
    HandleMidi(event);
}

void LiveControl::HandleMidi(const control::MidiEvent& event) {
  const bool wasLearning = midi_.Learning();
  const std::optional<control::Command> command = midi_.Handle(event);
  if (wasLearning && !midi_.Learning()) {
    // Learned: kept at once, so it survives a crash of the show.
    SaveMidiMapping();
    ShowLearnState();
  }
  if (command)
    Apply(*command);
}

void LiveControl::BeginMidiLearn() {
  midi_.BeginLearn();
  ShowLearnState();
}

void LiveControl::CancelMidiLearn() {
  midi_.CancelLearn();
  ShowLearnState();
}

void LiveControl::ForgetMidi(const std::string& target) {
  midi_.Forget(target);
  SaveMidiMapping();
}

void LiveControl::OnControlTouched(const QString& target) {
  if (applying_ || !midi_.Learning())
    return;
  midi_.ChooseTarget(target.toStdString());
  ShowLearnState();
}

void LiveControl::ShowLearnState() {
  mnuLearnMidi_->setChecked(midi_.Learning());
  if (!midi_.Learning())
    mnuLearnMidi_->setText(kLearnCaption);
  else if (midi_.LearnTarget().empty())
    mnuLearnMidi_->setText(kLearnCaption + QString::fromUtf8(": move a control\u2026"));
  else
    mnuLearnMidi_->setText(kLearnCaption + ": " + QString::fromStdString(midi_.LearnTarget()) +
                           QString::fromUtf8(" \u2190 turn a knob or press a key"));
}

void LiveControl::mnuLearnMidi_Click() {
  if (midi_.Learning())
    CancelMidiLearn();
  else
    BeginMidiLearn();
}

// ---- OSC ----

QString LiveControl::SetOsc(bool enabled, int port) {
  oscEnabled_ = enabled;
  oscPort_ = port;
  const auto settings = OpenSettings();
  settings->setValue("osc/enabled", enabled);
  settings->setValue("osc/port", port);
  return ListenOsc();
}

QString LiveControl::ListenOsc() {
  const bool enabled = oscEnabled_;
  const int port = oscPort_;
  QString problem;
  if (!enabled) {
    osc_.Close();
    oscStatus_ = "off";
  } else if (const std::string reason = osc_.Listen(port); !reason.empty()) {
    problem = QString::fromStdString(reason);
    oscStatus_ = problem;
  } else {
    oscStatus_ = QStringLiteral("listening on UDP port %1").arg(port);
  }
  emit Changed();
  return problem;
}

void LiveControl::DrainOsc() {
  for (const control::Command& command : osc_.Take())
    Apply(command);
}

void LiveControl::Apply(const control::Command& command) {
  using control::CommandKind;
  const Applying ours(applying_);
  switch (command.Kind) {
    case CommandKind::SetBar:
      window_.SetBarPosition(command.Text, command.Value);
      break;
    case CommandKind::SetMode:
      window_.SetOpMode(command.Value);
      break;
    case CommandKind::SetLimitVelocity:
      window_.SetCheck(FrmWhorlgen::Check::LimitVelocity, command.Value != 0);
      break;
    case CommandKind::SetShowDots:
      window_.SetCheck(FrmWhorlgen::Check::ShowDots, command.Value != 0);
      break;
    case CommandKind::SetIldaOutput:
      window_.SetCheck(FrmWhorlgen::Check::IldaOutput, command.Value != 0);
      break;
    case CommandKind::Start:
      // Start begins the run and returns: commands take effect in the order
      // they came, so a Stop after a Start ends the run that Start began.
      window_.ClickStart();
      break;
    case CommandKind::Stop:
      window_.ClickStop();
      break;
    case CommandKind::SetModulationBypass:
      if (music_ != nullptr)
        music_->SetBypass(command.Value != 0);
      break;
    case CommandKind::OpenPreset:
      // No message box for a remote sender: a modal box would hold the show.
      if (const QString problem = OpenPreset(QString::fromStdString(command.Text));
          !problem.isEmpty()) {
        ++remoteRejected_;
        lastRemoteProblem_ = problem;
        emit Changed();
      }
      break;
  }
}

}  // namespace whorlgen::ui
