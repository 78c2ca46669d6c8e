#include "ui/live_control.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSocketNotifier>

#include "control/panel_values.h"
#include "control/printable.h"
#include "ui/frm_whorlgen.h"
#include "ui/music_modulation.h"
#include "ui/settings_file.h"

namespace whorlgen::ui {

namespace {

constexpr int kMorphStepsPerSecond = 30;
constexpr int kMaxRecentPresets = 8;
constexpr std::size_t kShownMenuChars = 80;
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

// Text from a file or the wire, fit for a label or a box.
QString Shown(const QString& text, std::size_t maxChars = control::kShownMessageChars) {
  return QString::fromStdString(control::Printable(text.toStdString(), maxChars));
}

QString Caption(const std::string& target) {
  return QString::fromStdString(control::TargetCaption(target));
}

std::filesystem::path LocalPath(const QString& file) {
  return std::filesystem::path(QFile::encodeName(file).toStdString());
}

}  // namespace

LiveControl::LiveControl(FrmWhorlgen& window)
    : QObject(&window),
      window_(window),
      bars_(window.BarRanges()),
      midi_(bars_),
      osc_([this] {
        // liblo's thread: the commands are carried out on the panel's, a few
        // milliseconds later, so a flood of messages is taken in batches (a
        // bar's later value replaces one still waiting) rather than one
        // repaint of the panel per message.
        QMetaObject::invokeMethod(
            this,
            [this] {
              if (!oscBatch_.isActive())
                oscBatch_.start();
            },
            Qt::QueuedConnection);
      }),
      presets_([this] {
        // The reader's thread: presets are carried out on the panel's.
        QMetaObject::invokeMethod(this, &LiveControl::TakeReadPresets, Qt::QueuedConnection);
      }) {
  setObjectName("liveControl");
  BuildMenus();
  LoadMidiMapping();
  OpenMidiInput();
  connect(&window_, &FrmWhorlgen::ControlTouched, this, &LiveControl::OnControlTouched);

  oscBatch_.setSingleShot(true);
  oscBatch_.setInterval(kOscBatchMs);
  connect(&oscBatch_, &QTimer::timeout, this, &LiveControl::DrainOsc);
  morphTimer_.setInterval(1000 / kMorphStepsPerSecond);
  connect(&morphTimer_, &QTimer::timeout, this, &LiveControl::MorphStep);

  ReadOscSettings();
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
  QAction* save = mnuPresets_->addAction(QString::fromUtf8("Save\u2026"), this,
                                         &LiveControl::mnuPresetSave_Click);
  save->setObjectName("mnuPresetSave");
  save->setShortcut(QKeySequence::Save);
  QAction* open = mnuPresets_->addAction(QString::fromUtf8("Open\u2026"), this,
                                         &LiveControl::mnuPresetOpen_Click);
  open->setObjectName("mnuPresetOpen");
  open->setShortcut(QKeySequence::Open);
  // Also the window's own, so the keys work with the menu closed.
  window_.addAction(save);
  window_.addAction(open);
  mnuPresets_->addAction(QString::fromUtf8("Morph to\u2026"), this,
                         &LiveControl::mnuPresetMorph_Click);
  mnuRecent_ = mnuPresets_->addMenu("Recent");
  mnuRecent_->setObjectName("mnuRecentPresets");
  mnuRecent_->setToolTipsVisible(true);  // each shows its folder
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
  const std::string problem = control::WritePresetFile(LocalPath(file), CurrentFigure());
  if (!problem.empty())
    return QString::fromStdString(problem);
  RememberRecent(file);
  return {};
}

void LiveControl::OpenPreset(const QString& file) {
  RequestPreset(file, PresetUse::Open, 0.0);
}

void LiveControl::MorphTo(const QString& file, double duration_s) {
  RequestPreset(file, PresetUse::Morph, duration_s);
}

void LiveControl::RequestPreset(const QString& file, PresetUse use, double morph_s) {
  const std::optional<std::uint64_t> id = presets_.Request(LocalPath(file));
  if (!id) {
    const QString problem =
        Shown(QFileInfo(file).fileName(), control::kShownNameChars) +
        QStringLiteral(": not opened, %1 presets are already waiting to be read")
            .arg(control::PresetLoader::kMaxOutstanding);
    if (use == PresetUse::Remote)
      RefuseRemote(problem);
    else
      ShowProblem(problem);
    emit PresetDone(file, problem);
    return;
  }
  pendingPresets_.push_back({*id, file, use, morph_s});
  if (use == PresetUse::Remote)
    ++remotePresetsPending_;
}

void LiveControl::TakeReadPresets() {
  for (control::PresetLoader::Result& result : presets_.Take()) {
    // Results come in the order asked for; each has its request waiting.
    if (pendingPresets_.empty() || pendingPresets_.front().Id != result.Id)
      continue;
    const PendingPreset pending = pendingPresets_.front();
    pendingPresets_.pop_front();
    if (pending.Use == PresetUse::Remote)
      --remotePresetsPending_;
    FinishPreset(pending, std::move(result.Reading));
  }
  DrainOsc();
}

void LiveControl::FinishPreset(const PendingPreset& pending, control::PresetReading reading) {
  // A matrix the music cannot play refuses the preset whole, as any other fault.
  if (reading.preset && music_ != nullptr && !reading.preset->Modulation.empty()) {
    if (std::string problem = music_->CheckPreset(reading.preset->Modulation); !problem.empty()) {
      reading.preset.reset();
      reading.problem = std::move(problem);
    }
  }
  if (!reading.preset) {
    const QString problem = Shown(QFileInfo(pending.File).fileName(), control::kShownNameChars) +
                            ": " + QString::fromStdString(reading.problem);
    if (pending.Use == PresetUse::Remote)
      RefuseRemote(problem);
    else
      ShowProblem(problem);
    emit PresetDone(pending.File, problem);
    return;
  }
  RememberRecent(pending.File);
  if (pending.Use == PresetUse::Morph) {
    StartMorph(std::move(*reading.preset), pending.Morph_s);
  } else {
    morphTimer_.stop();
    ApplyFigure(*reading.preset);
    ApplyModeAndChecks(*reading.preset);
  }
  emit PresetDone(pending.File, {});
}

void LiveControl::StartMorph(control::Preset destination, double duration_s) {
  morphFrom_ = CurrentFigure();
  morphTo_ = std::move(destination);
  morphDuration_ms_ = std::max(duration_s, 0.0) * 1000.0;
  morphClock_.start();
  MorphStep();
  if (morphDuration_ms_ > 0.0)
    morphTimer_.start();
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
    const QFileInfo info(file);
    QString text = Shown(info.fileName(), kShownMenuChars);
    text.replace('&', "&&");  // a file name's '&' is no shortcut
    QAction* action = mnuRecent_->addAction(text, this, [this, file] { OpenPreset(file); });
    action->setToolTip(Shown(QDir::toNativeSeparators(info.absolutePath())));
  }
}

// A box that waits for nobody: the panel (and a run) go on while it shows.
void LiveControl::ShowProblem(const QString& problem) {
  auto* box = new QMessageBox(QMessageBox::Warning, window_.windowTitle(), Shown(problem),
                              QMessageBox::Ok, &window_);
  box->setObjectName("boxPresetProblem");
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void LiveControl::mnuPresetSave_Click() {
  auto* dialog = new QFileDialog(&window_, "Save preset", {}, kPresetFilter);
  dialog->setObjectName("dlgPresetSave");
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QFileDialog::fileSelected, this, [this](QString file) {
    if (QFileInfo(file).suffix().isEmpty())
      file += ".json";
    if (const QString problem = SavePreset(file); !problem.isEmpty())
      ShowProblem(problem);
  });
  dialog->open();
}

void LiveControl::mnuPresetOpen_Click() {
  auto* dialog = new QFileDialog(&window_, "Open preset", {}, kPresetFilter);
  dialog->setObjectName("dlgPresetOpen");
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QFileDialog::fileSelected, this, &LiveControl::OpenPreset);
  dialog->open();
}

void LiveControl::mnuPresetMorph_Click() {
  auto* dialog = new QFileDialog(&window_, "Morph to preset", {}, kPresetFilter);
  dialog->setObjectName("dlgPresetMorph");
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& file) {
    auto* seconds = new QInputDialog(&window_);
    seconds->setObjectName("dlgMorphSeconds");
    seconds->setWindowTitle("Morph to preset");
    seconds->setLabelText("Seconds to glide:");
    seconds->setInputMode(QInputDialog::DoubleInput);
    seconds->setDoubleRange(0.0, 600.0);
    seconds->setDoubleDecimals(1);
    seconds->setDoubleValue(5.0);
    seconds->setAttribute(Qt::WA_DeleteOnClose);
    connect(seconds, &QInputDialog::doubleValueSelected, this,
            [this, file](double value) { MorphTo(file, value); });
    seconds->open();
  });
  dialog->open();
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
    // Nothing could answer a learn: say why instead of waiting for it.
    mnuLearnMidi_->setEnabled(false);
    mnuLearnMidi_->setToolTip(kLearnCaption + ": " + midiStatus_);
    mnuLearnMidi_->setStatusTip(mnuLearnMidi_->toolTip());
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
    mnuLearnMidi_->setText(kLearnCaption + ": " + Caption(midi_.LearnTarget()) +
                           QString::fromUtf8(" \u2190 turn a knob or press a key"));
}

void LiveControl::mnuLearnMidi_Click() {
  if (midi_.Learning())
    CancelMidiLearn();
  else
    BeginMidiLearn();
}

// ---- OSC ----

void LiveControl::ReadOscSettings() {
  const auto settings = OpenSettings();
  oscEnabled_ = settings->value("osc/enabled", false).toBool();
  bool portIsNumber = false;
  oscPort_ = settings->value("osc/port", control::kDefaultOscPort).toInt(&portIsNumber);
  if (!portIsNumber)
    oscPort_ = control::kDefaultOscPort;
  // Unquoted, "a, b" reads as a list of two.
  const QVariant allow = settings->value("osc/allow");
  oscSenders_ =
      allow.typeId() == QMetaType::QStringList ? allow.toStringList().join(", ") : allow.toString();
}

QString LiveControl::SetOsc(bool enabled, int port, const QString& senders) {
  oscEnabled_ = enabled;
  oscPort_ = port;
  oscSenders_ = senders.trimmed();
  const auto settings = OpenSettings();
  settings->setValue("osc/enabled", enabled);
  settings->setValue("osc/port", port);
  if (oscSenders_.isEmpty())
    settings->remove("osc/allow");
  else
    settings->setValue("osc/allow", oscSenders_);
  return ListenOsc();
}

QString LiveControl::ListenOsc() {
  std::vector<std::string> senderProblems;
  control::SenderFilter senders =
      control::SenderFilter::Parse(oscSenders_.toStdString(), senderProblems);
  QString problem;
  if (!oscEnabled_) {
    osc_.Close();
    oscStatus_ = "off";
  } else if (const std::string reason = osc_.Listen(oscPort_, senders); !reason.empty()) {
    problem = QString::fromStdString(reason);
    oscStatus_ = problem;
  } else {
    oscStatus_ = QStringLiteral("listening on UDP port %1").arg(oscPort_);
    oscStatus_ += senders.AllowsAnyone()
                      ? QStringLiteral(" for any sender")
                      : QStringLiteral(" for %1 only").arg(Shown(oscSenders_, 200));
  }
  for (const std::string& senderProblem : senderProblems)
    oscStatus_ += QStringLiteral("; allowed senders: ") + QString::fromStdString(senderProblem);
  emit Changed();
  return problem;
}

QString LiveControl::LastRemoteProblem() const {
  const control::OscServer::Refusal refusal = osc_.LastRefusal();
  if (!refusal.Why.empty() && (lastRemoteProblem_.isEmpty() || refusal.When > lastRemoteProblemAt_))
    return QString::fromStdString(refusal.Why);
  return lastRemoteProblem_;
}

void LiveControl::RefuseRemote(const QString& problem) {
  // No message box for a remote sender: it shows on the Control page.
  ++remoteRejected_;
  lastRemoteProblem_ = problem;
  lastRemoteProblemAt_ = std::chrono::steady_clock::now();
  emit Changed();
}

void LiveControl::DrainOsc() {
  CarryOutHeldOsc();
  if (remotePresetsPending_ > 0)
    return;  // the mailbox is emptied once the preset before it is carried out
  for (control::Command& command : osc_.Take())
    heldOsc_.push_back(std::move(command));
  CarryOutHeldOsc();
}

// In the order sent; a preset stops the rest until it has been read and
// carried out, so the values sent after it land on top of it.
void LiveControl::CarryOutHeldOsc() {
  while (!heldOsc_.empty() && remotePresetsPending_ == 0) {
    const control::Command command = std::move(heldOsc_.front());
    heldOsc_.pop_front();
    Apply(command);
  }
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
      RequestPreset(QString::fromStdString(command.Text), PresetUse::Remote, 0.0);
      break;
  }
}

}  // namespace whorlgen::ui
