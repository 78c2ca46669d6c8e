#include "ui/frm_whorlgen.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "discovery/device_directory.h"
#include "preview/preview_surface.h"
#include "ui/app_icon.h"
#include "ui/control_table.h"
#include "ui/dac_directory.h"
#include "ui/dac_list.h"
#include "ui/devices_window.h"
#include "ui/number_text.h"
#include "ui/panel_scroll_bar.h"
#include "ui/projection_window.h"
#include "ui/projector_settings.h"
#include "ui/show_setup.h"
#include "ui/title_note.h"

namespace whorlgen::ui {

namespace {

// Change the contact here; the About box shows it after the date.
// The caption of every box the panel shows, whatever note the title carries.
const QString kTitle = QStringLiteral("Whorlgen");

constexpr char kAuthorCredit[] = "the Whorlgen developers";
constexpr char kContactAddress[] = "maintainers@users.noreply.c-seed-bc6dbedd.example";

// The panel's controls are laid out for the classic 8-point dialog font,
// which is narrower than today's default faces: a condensed face at 8 points
// lets every caption fit its control.
constexpr int kPanelFontPoints = 8;

const QColor kBlueCaption(0, 0, 255);

// 25 x 20.47 = 511.75, which rounds to the start-up gain of 512.
constexpr std::int16_t kStartupGainPosition = 25;

// List rows of one fixed height, so a list box of the panel's size shows all its items.
class FixedRowHeightDelegate : public QStyledItemDelegate {
 public:
  FixedRowHeightDelegate(int rowHeight, QObject* parent)
      : QStyledItemDelegate(parent), rowHeight_(rowHeight) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(rowHeight_);
    return size;
  }

 private:
  int rowHeight_;
};

QLabel* CreateLabel(const ControlSpec& spec, QWidget* client) {
  auto* label = new QLabel(client);
  label->setTextFormat(Qt::PlainText);
  label->setText(QString::fromUtf8(spec.Caption));
  if (spec.BlueCaption) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, kBlueCaption);
    label->setPalette(palette);
  }
  return label;
}

QListWidget* CreateListBox(const ControlSpec& spec, QWidget* client) {
  auto* list = new QListWidget(client);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setUniformItemSizes(true);
  const int innerHeight = PixelsFromTwips(spec.HeightTwips) - 2 * list->frameWidth();
  list->setItemDelegate(new FixedRowHeightDelegate(innerHeight / spec.VisibleRows, list));
  // One item stays selected, as in a classic list box: a Ctrl+click on the
  // selected item or a click below the items does not leave the list empty.
  QObject::connect(list, &QListWidget::itemSelectionChanged, list, [list] {
    if (list->selectedItems().isEmpty() && list->currentItem() != nullptr) {
      list->currentItem()->setSelected(true);
    }
  });
  return list;
}

QWidget* CreateControl(const ControlSpec& spec, QWidget* client) {
  switch (spec.Kind) {
    case ControlKind::VerticalScrollBar:
      return new PanelScrollBar(Qt::Vertical, spec.Min, spec.Max, spec.Value, client);
    case ControlKind::HorizontalScrollBar:
      return new PanelScrollBar(Qt::Horizontal, spec.Min, spec.Max, spec.Value, client);
    case ControlKind::Label:
      return CreateLabel(spec, client);
    case ControlKind::CommandButton:
      return new QPushButton(QString::fromUtf8(spec.Caption), client);
    case ControlKind::ListBox:
      return CreateListBox(spec, client);
    case ControlKind::CheckBox: {
      auto* box = new QCheckBox(QString::fromUtf8(spec.Caption), client);
      box->setChecked(spec.Checked);
      return box;
    }
    case ControlKind::PictureBox: {
      auto* picture = new preview::PreviewSurface(PixelsFromTwips(spec.WidthTwips), client);
      picture->setFocusPolicy(Qt::StrongFocus);
      return picture;
    }
  }
  qFatal("control %s has an unknown kind", spec.Name);
}

// Ends the program's event loop. Only a loop that runs is ended: an exit
// asked for with none running would end the next one at once, whoever
// starts it (a dialog's, in a program that only embeds the window).
void ExitEventLoop() {
  if (QThread::currentThread()->loopLevel() > 0)
    QCoreApplication::exit(0);
}

template <typename T>
T* Find(QWidget* client, const char* name) {
  auto* control = client->findChild<T*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
  if (control == nullptr) {
    qFatal("the control table has no %s of the expected kind", name);
  }
  return control;
}

}  // namespace

FrmWhorlgen::FrmWhorlgen(output::DeviceLibraries& libraries, DacDirectory& dacs, QWidget* parent)
    : QMainWindow(parent), Libraries(libraries), dacs_(dacs) {
  setObjectName("frmWhorlgen");
  setWindowTitle("Whorlgen");
  // Closing this window ends the program, but only once a run's end steps
  // are done (the file finished, the DAC dark): the window ends it itself.
  QApplication::setQuitOnLastWindowClosed(false);
  setWindowIcon(WhorlgenIcon());
  // The panel is laid out left to right whatever the user's language.
  setLayoutDirection(Qt::LeftToRight);

  // The menu stays in the window, above the client area the layout is measured from.
  menuBar()->setNativeMenuBar(false);
  mnuAbout = menuBar()->addAction("About");
  mnuAbout->setObjectName("mnuAbout");
  // The items beyond About follow it, so About keeps its place.
  mnuDevices = menuBar()->addAction(QString::fromUtf8("Devices\u2026"));
  mnuDevices->setObjectName("mnuDevices");
  mnuDevices->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
  devices_ = new DevicesWindow(this);
  connect(&dacs_, &DacDirectory::Changed, this, &FrmWhorlgen::DacSnapshotArrived,
          Qt::QueuedConnection);
  mnuProjection = menuBar()->addAction(QString::fromUtf8("Projection\u2026"));
  mnuProjection->setObjectName("mnuProjection");
  mnuProjection->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
  projection_ = new ProjectionWindow(this);
  connect(this, &FrmWhorlgen::RunFinished, projection_, &ProjectionWindow::EndRun);

  auto* client = new QWidget(this);
  client->setObjectName("clientArea");
  QFont panelFont = client->font();
  panelFont.setPointSize(kPanelFontPoints);
  panelFont.setStretch(QFont::Condensed);
  client->setFont(panelFont);
  client->setFixedSize(PixelsFromTwips(kClientWidthTwips), PixelsFromTwips(kClientHeightTwips));
  setCentralWidget(client);
  layout()->setSizeConstraint(QLayout::SetFixedSize);

  BuildControls(client);
  FindControls(client);
  ConnectHandlers();
  Form_Load();
  RefreshDacList();  // the devices the directory has found by now
  ReportTouches();
  statusNote_ = new TitleNote(this);
  Loop.MakeDriver = [this](const std::string& dacName) { return MakeDacDriver(dacName); };
  connect(projection_, &ProjectionWindow::OutputPicked, this, [this](int index) {
    const auto shown = static_cast<std::size_t>(index);
    const output::ProjectorProfile profile = show_.View(shown);
    const std::vector<std::string>& names = show_.ShowOutputs();
    projection_->BeginRun(profile,
                          QString::fromStdString(shown < names.size() ? names[shown] : ""));
  });
  ShowNote();
}

std::unique_ptr<output::DacDriver> FrmWhorlgen::MakeDacDriver(const std::string& dacName) {
  std::unique_ptr<output::DacDriver> base;
  if (!IsLibraryDac(dacName))
    base = dacs_.Directory().MakeDriver(dacName);
  // A device chosen from the list that has left it since plays nothing
  // anywhere, and the run says so.
  if (!base && chosenDac_ && chosenDac_->Name == dacName)
    base = discovery::MakeMissingDacDriver(dacName);
  if (!base)
    base = output::SelectDacDriver(dacName, Dac, Libraries);
  if (show_.OutputsWith(dacName).size() > 1)
    return MakeShowDriver(dacName, std::move(base));
  projection_->ShowOutputs({});
  // A neutral profile hands the figure's own frame on untouched; the wrapper
  // is there for the projection view.
  const output::ProjectorProfile profile = LoadProjectorProfile(dacName);
  projection_->BeginRun(profile, QString::fromStdString(dacName));
  return std::make_unique<output::ProfiledDacDriver>(std::move(base), profile, projection_);
}

std::unique_ptr<output::DacDriver> FrmWhorlgen::MakeShowDriver(
    const std::string& dacName, std::unique_ptr<output::DacDriver> device) {
  discovery::DeviceDirectory* directory = &dacs_.Directory();
  // Made again on the output's own thread when it rejoins: from the
  // directory, or as missing once it is no longer listed.
  auto listed = [directory](const std::string& name) {
    return [directory, name]() -> std::unique_ptr<output::DacDriver> {
      if (auto driver = directory->MakeDriver(name))
        return driver;
      return discovery::MakeMissingDacDriver(name);
    };
  };
  std::vector<output::ShowOutput> outputs;
  std::vector<output::ProjectorProfile> profiles;
  const std::vector<std::string> names = show_.OutputsWith(dacName);
  for (const std::string& name : names) {
    profiles.push_back(LoadProjectorProfile(name));
    outputs.push_back({name, listed(name), profiles.back()});
  }
  // The panel's DAC opens with the back-end made for it here; a library DAC
  // rejoins through its library, on the output's thread as the run's
  // device thread would.
  std::function<std::unique_ptr<output::DacDriver>()> again =
      IsLibraryDac(dacName) ? std::function<std::unique_ptr<output::DacDriver>()>([this, dacName] {
        return output::SelectDacDriver(dacName, Dac, Libraries);
      })
                            : outputs.front().MakeDevice;
  outputs.front().MakeDevice =
      [first = std::make_shared<std::unique_ptr<output::DacDriver>>(std::move(device)),
       again]() -> std::unique_ptr<output::DacDriver> {
    if (*first)
      return std::move(*first);
    return again();
  };
  auto driver = std::make_unique<output::ShowDriver>(std::move(outputs), projection_);
  const std::size_t viewed = show_.Began(driver->Board(), names, profiles);
  projection_->BeginRun(profiles[viewed], QString::fromStdString(names[viewed]));
  projection_->ShowOutputs(names, static_cast<int>(viewed));
  return driver;
}

QString FrmWhorlgen::SetFurtherOutputs(std::vector<std::string> names) {
  QString problem = show_.SetFurtherOutputs(std::move(names));
  ShowNote();
  return problem;
}

void FrmWhorlgen::ShowNote() {
  if (statusNote_ == nullptr)
    return;  // the panel is still being built
  const std::string runNote = Loop.DacStatusNote();
  statusNote_->Show(runNote.empty() ? show_.Note(Loop.DacName) : runNote);
}

std::vector<std::string> FrmWhorlgen::ListedDacNames() const {
  std::vector<std::string> names;
  for (int i = 0; i < lstDACSelect->count(); ++i)
    names.push_back(DacNameOf(lstDACSelect->item(i)));
  return names;
}

void FrmWhorlgen::BuildControls(QWidget* client) {
  std::vector<std::pair<int, QWidget*>> tabStops;
  for (const ControlSpec& spec : ControlTable()) {
    QWidget* control = CreateControl(spec, client);
    control->setObjectName(QString::fromLatin1(spec.Name));
    control->setGeometry(PixelsFromTwips(spec.LeftTwips), PixelsFromTwips(spec.TopTwips),
                         PixelsFromTwips(spec.WidthTwips), PixelsFromTwips(spec.HeightTwips));
    control->setEnabled(spec.Enabled);
    if ((control->focusPolicy() & Qt::TabFocus) != 0) {
      tabStops.emplace_back(spec.TabIndex, control);
    }
  }
  std::sort(tabStops.begin(), tabStops.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 1; i < tabStops.size(); ++i) {
    QWidget::setTabOrder(tabStops[i - 1].second, tabStops[i].second);
  }
  // The control with the lowest tab index has the focus when the window opens.
  if (!tabStops.empty()) {
    tabStops.front().second->setFocus();
  }
}

void FrmWhorlgen::FindControls(QWidget* client) {
  scrXGain = Find<PanelScrollBar>(client, "scrXGain");
  scrYGain = Find<PanelScrollBar>(client, "scrYGain");
  scrXFreq = Find<PanelScrollBar>(client, "scrXFreq");
  scrYFreq = Find<PanelScrollBar>(client, "scrYFreq");
  scrZFreq = Find<PanelScrollBar>(client, "scrZFreq");
  scrXRot = Find<PanelScrollBar>(client, "scrXRot");
  scrYRot = Find<PanelScrollBar>(client, "scrYRot");
  scrRFreq = Find<PanelScrollBar>(client, "scrRFreq");
  scrGFreq = Find<PanelScrollBar>(client, "scrGFreq");
  scrBFreq = Find<PanelScrollBar>(client, "scrBFreq");
  scrRepPoints = Find<PanelScrollBar>(client, "scrRepPoints");
  scrPointsPerSec = Find<PanelScrollBar>(client, "scrPointsPerSec");
  scrPointsPerFrame = Find<PanelScrollBar>(client, "scrPointsPerFrame");
  scrXPhase = Find<PanelScrollBar>(client, "scrXPhase");

  lblXGainV = Find<QLabel>(client, "lblXGainV");
  lblYGainV = Find<QLabel>(client, "lblYGainV");
  lblXFreqV = Find<QLabel>(client, "lblXFreqV");
  lblYFReqV = Find<QLabel>(client, "lblYFReqV");
  lblZFreqV = Find<QLabel>(client, "lblZFreqV");
  lblXRotV = Find<QLabel>(client, "lblXRotV");
  lblYRotV = Find<QLabel>(client, "lblYRotV");
  lblRFreqV = Find<QLabel>(client, "lblRFreqV");
  lblGFreqV = Find<QLabel>(client, "lblGFreqV");
  lblBFreqV = Find<QLabel>(client, "lblBFreqV");
  lblRepPointsV = Find<QLabel>(client, "lblRepPointsV");
  lblPPSV = Find<QLabel>(client, "lblPPSV");
  lblPPFV = Find<QLabel>(client, "lblPPFV");
  lblXPhaseV = Find<QLabel>(client, "lblXPhaseV");
  lblFrameRateV = Find<QLabel>(client, "lblFrameRateV");
  lblTotalFramesV = Find<QLabel>(client, "lblTotalFramesV");

  cmdStart = Find<QPushButton>(client, "cmdStart");
  cmdStop = Find<QPushButton>(client, "cmdStop");
  lstDACSelect = Find<QListWidget>(client, "lstDACSelect");
  lstOpMode = Find<QListWidget>(client, "lstOpMode");
  chkILDAout = Find<QCheckBox>(client, "chkILDAout");
  chkLimitVelocity = Find<QCheckBox>(client, "chkLimitVelocity");
  chkShowDots = Find<QCheckBox>(client, "chkShowDots");
  picPreview = Find<preview::PreviewSurface>(client, "picPreview");
}

void FrmWhorlgen::ConnectHandlers() {
  using Handler = void (FrmWhorlgen::*)();
  struct BarHandlers {
    PanelScrollBar* Bar;
    Handler Change;
  };
  const BarHandlers bars[] = {
      {scrRepPoints, &FrmWhorlgen::scrRepPoints_Change},
      {scrXGain, &FrmWhorlgen::scrXGain_Change},
      {scrYGain, &FrmWhorlgen::scrYGain_Change},
      {scrXPhase, &FrmWhorlgen::scrXPhase_Change},
      {scrXRot, &FrmWhorlgen::scrXRot_Change},
      {scrYRot, &FrmWhorlgen::scrYRot_Change},
      {scrXFreq, &FrmWhorlgen::scrXFreq_Change},
      {scrYFreq, &FrmWhorlgen::scrYFreq_Change},
      {scrZFreq, &FrmWhorlgen::scrZFreq_Change},
      {scrRFreq, &FrmWhorlgen::scrRFreq_Change},
      {scrGFreq, &FrmWhorlgen::scrGFreq_Change},
      {scrBFreq, &FrmWhorlgen::scrBFreq_Change},
      {scrPointsPerSec, &FrmWhorlgen::scrPointsPerSec_Change},
      {scrPointsPerFrame, &FrmWhorlgen::scrPointsPerFrame_Change},
  };
  for (const BarHandlers& b : bars) {
    connect(b.Bar, &PanelScrollBar::Change, this, b.Change);
    // Scroll: the same for the thumb being dragged, then a frame goes out
    // at once with the new value.
    connect(b.Bar, &PanelScrollBar::Scroll, this, [this, change = b.Change] {
      (this->*change)();
      ProcessFrame();
    });
  }

  connect(cmdStart, &QPushButton::clicked, this, &FrmWhorlgen::cmdStart_Click);
  connect(cmdStop, &QPushButton::clicked, this, &FrmWhorlgen::cmdStop_Click);
  // Fires for a selection by code as well as by the user.
  connect(lstDACSelect, &QListWidget::currentRowChanged, this, &FrmWhorlgen::lstDACSelect_Click);
  connect(mnuAbout, &QAction::triggered, this, &FrmWhorlgen::mnuAbout_Click);
  connect(mnuDevices, &QAction::triggered, this, &FrmWhorlgen::mnuDevices_Click);
  connect(mnuProjection, &QAction::triggered, this, &FrmWhorlgen::mnuProjection_Click);
}

int FrmWhorlgen::SelectedOpMode() const {
  const QListWidgetItem* item = lstOpMode->currentItem();
  return item != nullptr ? item->text().toInt() : 0;
}

bool FrmWhorlgen::LimitVelocityChecked() const {
  return chkLimitVelocity->isChecked();
}

bool FrmWhorlgen::ShowDotsChecked() const {
  return chkShowDots->isChecked();
}

bool FrmWhorlgen::IldaOutChecked() const {
  return chkILDAout->isChecked();
}

void FrmWhorlgen::ProcessFrame() {
  Loop.ProcessFrame();
}

void FrmWhorlgen::SetEnabled(Control control, bool enabled) {
  QWidget* widget = nullptr;
  switch (control) {
    case Control::Start:
      widget = cmdStart;
      break;
    case Control::Stop:
      widget = cmdStop;
      break;
    case Control::IldaOutput:
      widget = chkILDAout;
      break;
    case Control::DacSelect:
      widget = lstDACSelect;
      break;
  }
  widget->setEnabled(enabled);
  // The devices found during the run join the list once it is free again.
  if (control == Control::DacSelect && enabled && dacListStale_)
    RefreshDacList();
}

void FrmWhorlgen::SetTotalFramesCaption(const std::string& text) {
  lblTotalFramesV->setText(QString::fromStdString(text));
}

void FrmWhorlgen::Post(std::function<void()> work) {
  // A queued call: it runs in whatever event loop the panel's thread is in
  // (a dialog's too), after the events already waiting.
  QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void FrmWhorlgen::TellOperator(const std::string& message) {
  if (endedBySignal_) {
    std::fprintf(stderr, "whorlgen: %s\n", message.c_str());
    return;
  }
  if (Loop.Closing()) {
    closingMessages_.push_back(message);
    return;
  }
  // Without a loop of its own: nothing waits for the answer.
  auto* box = new QMessageBox(QMessageBox::Warning, kTitle, QString::fromStdString(message),
                              QMessageBox::Ok, this);
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->open();
}

void FrmWhorlgen::StatusNoteChanged(const std::string& note) {
  statusNote_->Show(note.empty() ? show_.Note(Loop.DacName) : note);
}

void FrmWhorlgen::RunEnded() {
  emit RunFinished();
  // The window was closed during the run: with the file finished and the
  // DAC closed, the program ends.
  if (Loop.Closing())
    EndProgram();
}

void FrmWhorlgen::EndProgram() {
  if (closingMessages_.empty()) {
    ExitEventLoop();
    return;
  }
  QStringList texts;
  for (const std::string& message : std::exchange(closingMessages_, {}))
    texts << QString::fromStdString(message);
  auto* box =
      new QMessageBox(QMessageBox::Warning, kTitle, texts.join("\n\n"), QMessageBox::Ok, this);
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  connect(box, &QMessageBox::finished, [] { ExitEventLoop(); });
  box->open();
}

output::FrameSettings FrmWhorlgen::CurrentFrameSettings() const {
  return {.OpMode = SelectedOpMode(),
          .LimitVelocity = LimitVelocityChecked(),
          .ShowDots = ShowDotsChecked()};
}

void FrmWhorlgen::DrawPreview(const engine::FrameData& frame, bool showDots) {
  Preview.DrawPreview(frame.FrameBuffer, showDots, *picPreview);
}

void FrmWhorlgen::BeforeFrame(double showSeconds) {
  emit FrameComing(showSeconds);
}

void FrmWhorlgen::Form_Load() {
  // The DAC list; selecting "SoundCard" runs lstDACSelect_Click, so DacName is set.
  for (const char* dac : {"SoundCard", "EZLase", "RIYA"}) {
    lstDACSelect->addItem(QString::fromLatin1(dac));
  }
  lstDACSelect->setCurrentItem(lstDACSelect->findItems("SoundCard", Qt::MatchExactly).front());
  // The operating modes 1 to 6, with 2 selected.
  for (int mode = 1; mode <= 6; ++mode) {
    lstOpMode->addItem(QString::number(mode));
  }
  lstOpMode->setCurrentItem(lstOpMode->findItems("2", Qt::MatchExactly).front());

  SetUpPreview();

  // The start-up parameters, all at once; then every bar goes to the position
  // that stands for its value. A bar whose stored start position differs
  // raises Change, which stores the same value and shows it (the frames per
  // second from the points per second already stored). The other labels keep
  // their stored captions, which already read the start-up values.
  Params = engine::StartupParameters();
  lblRepPointsV->setText(IntegerText(Params.RepPoints - 1));
  scrPointsPerFrame->SetValue(static_cast<std::int16_t>(Params.PointsPerFrame));
  lblXPhaseV->setText(IntegerText(0));
  scrXGain->SetValue(kStartupGainPosition);
  scrYGain->SetValue(kStartupGainPosition);
  scrXFreq->SetValue(static_cast<std::int16_t>(std::lrint(Params.XFreq * 5.0)));
  scrYFreq->SetValue(static_cast<std::int16_t>(std::lrint(Params.YFreq * 5.0)));
  scrZFreq->SetValue(static_cast<std::int16_t>(std::lrint(Params.ZFreq * 5.0)));
  scrXRot->SetValue(0);
  scrYRot->SetValue(0);
  scrRFreq->SetValue(static_cast<std::int16_t>(Params.RFreq));
  scrGFreq->SetValue(static_cast<std::int16_t>(Params.GFreq));
  scrBFreq->SetValue(static_cast<std::int16_t>(Params.BFreq));
  scrPointsPerSec->SetValue(static_cast<std::int16_t>(Params.PointsPerSec / 2));
}

void FrmWhorlgen::SetUpPreview() {
  PreviewWidth = picPreview->InnerWidth();
  PreviewHeight = picPreview->InnerHeight();
  Preview.Setup(PreviewWidth, PreviewHeight);
}

void FrmWhorlgen::ShowFrameRate() {
  // A quotient of doubles, not an integer division: 15000 / 499 is 30.06...
  lblFrameRateV->setText(DecimalText(static_cast<double>(Params.PointsPerSec) /
                                     static_cast<double>(Params.PointsPerFrame)));
}

void FrmWhorlgen::cmdStart_Click() {
  if (ChosenDacMissing()) {
    // Nothing starts: no recording, no frames, no other DAC in its place.
    auto* box = new QMessageBox(
        QMessageBox::Warning, windowTitle(),
        QString::fromStdString(Loop.DacName +
                               " is missing: it is no longer listed, so nothing was started. "
                               "Choose another DAC, or wait until it is listed again."),
        QMessageBox::Ok, this);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return;
  }
  Loop.cmdStart_Click();
}

void FrmWhorlgen::cmdStop_Click() {
  Loop.cmdStop_Click();
}

void FrmWhorlgen::lstDACSelect_Click() {
  const QListWidgetItem* item = lstDACSelect->currentItem();
  Loop.DacName = item != nullptr ? DacNameOf(item) : std::string();
  const int row = lstDACSelect->currentRow() - kLibraryDacs;
  if (row >= 0 && row < static_cast<int>(listedDacs_.size()))
    chosenDac_ = listedDacs_[static_cast<std::size_t>(row)];
  ShowNote();
}

void FrmWhorlgen::closeEvent(QCloseEvent* event) {
  Form_Unload();
  event->accept();
  // Idle, the program ends now, whatever other windows are open; a run ends
  // it once its end steps are done.
  if (!Loop.InRun())
    ExitEventLoop();
}

void FrmWhorlgen::Form_Unload() {
  Loop.Form_Unload();
  if (aboutBox_ != nullptr)
    aboutBox_->close();
}

void FrmWhorlgen::EndOnSignal(int signalNumber) {
  std::fprintf(stderr, "whorlgen: signal %d: ending%s\n", signalNumber,
               Loop.InRun() ? " the run and the program" : "");
  endedBySignal_ = true;
  // A box waiting for an answer would hold the end of the run.
  if (QWidget* box = QApplication::activeModalWidget(); box != nullptr && box != this)
    box->close();
  close();
}

void FrmWhorlgen::mnuAbout_Click() {
  if (aboutBox_ != nullptr) {
    aboutBox_->raise();
    return;
  }
  const QString text =
      QStringLiteral("Whorlgen by %1 06 DEC 10 / %2")
          .arg(QString::fromUtf8(kAuthorCredit), QString::fromUtf8(kContactAddress));
  aboutBox_ = new QMessageBox(QMessageBox::NoIcon, kTitle, text, QMessageBox::Ok, this);
  aboutBox_->setTextFormat(Qt::PlainText);
  // The one line stays as it always was; the version goes below it.
  aboutBox_->setInformativeText(QStringLiteral("Version %1").arg(WHORLGEN_VERSION));
  aboutBox_->setAttribute(Qt::WA_DeleteOnClose);
  // Without a loop of its own and without holding the panel: a run goes on
  // feeding the DAC and the recording while the box is open, and Stop stays
  // within reach.
  aboutBox_->setWindowModality(Qt::NonModal);
  aboutBox_->show();
}

// The device directory (its thread, the Ether Dream listener and the other
// families' watches start with the program) and its Devices page. The DAC
// list follows its snapshots, but never during a run.
void FrmWhorlgen::mnuDevices_Click() {
  devices_->Open();
}

void FrmWhorlgen::mnuProjection_Click() {
  projection_->show();
  projection_->raise();
  projection_->activateWindow();
}

void FrmWhorlgen::DacSnapshotArrived() {
  // The list is disabled exactly while a run holds it.
  if (!lstDACSelect->isEnabled()) {
    dacListStale_ = true;
    return;
  }
  RefreshDacList();
}

bool FrmWhorlgen::ChosenDacMissing() const {
  if (!chosenDac_ || chosenDac_->Name != Loop.DacName)
    return false;  // a library DAC, or none of the directory's
  return std::none_of(listedDacs_.begin(), listedDacs_.end(),
                      [&](const output::DacInfo& dac) { return dac.Name == Loop.DacName; });
}

void FrmWhorlgen::RefreshDacList() {
  dacListStale_ = false;
  listedDacs_ = dacs_.Latest().Devices;
  const std::string chosen = Loop.DacName;
  const bool missing = ChosenDacMissing();
  int row = -1;
  {
    const QSignalBlocker quiet(lstDACSelect);
    FillDacList(*lstDACSelect, listedDacs_, missing ? &*chosenDac_ : nullptr);
    for (int i = 0; i < lstDACSelect->count(); ++i) {
      if (DacNameOf(lstDACSelect->item(i)) == chosen)
        row = i;
    }
    // A name no item stands for (set by code) stays the run's DAC.
    if (row >= 0 || lstDACSelect->currentRow() < 0)
      lstDACSelect->setCurrentRow(std::max(row, 0));
  }
  if (row >= 0)
    lstDACSelect_Click();
  emit DacListChanged();
}

bool FrmWhorlgen::ChooseDac(const std::string& name) {
  if (!lstDACSelect->isEnabled())
    return false;
  for (int i = 0; i < lstDACSelect->count(); ++i) {
    if (DacNameOf(lstDACSelect->item(i)) == name) {
      lstDACSelect->setCurrentRow(i);
      return true;
    }
  }
  return false;
}

// Change handlers: the parameter from the bar's value, then its label. Each
// bar's Scroll runs its Change handler and then ProcessFrame.

void FrmWhorlgen::scrRepPoints_Change() {
  Params.RepPoints = engine::RepPointsFromPosition(scrRepPoints->Value());
  lblRepPointsV->setText(IntegerText(Params.RepPoints - 1));
}

void FrmWhorlgen::scrXGain_Change() {
  const std::int16_t v = scrXGain->Value();
  Params.XGain = engine::GainFromPosition(v);
  lblXGainV->setText(IntegerText(v));  // the position, not the gain
}

void FrmWhorlgen::scrYGain_Change() {
  const std::int16_t v = scrYGain->Value();
  Params.YGain = engine::GainFromPosition(v);
  lblYGainV->setText(IntegerText(v));
}

void FrmWhorlgen::scrXPhase_Change() {
  const std::int16_t v = scrXPhase->Value();
  Params.XPhase = engine::AngleFromPosition(v);
  lblXPhaseV->setText(IntegerText(v));  // degrees
}

void FrmWhorlgen::scrXRot_Change() {
  const std::int16_t v = scrXRot->Value();
  Params.XRot = engine::AngleFromPosition(v);
  lblXRotV->setText(IntegerText(v));
}

void FrmWhorlgen::scrYRot_Change() {
  const std::int16_t v = scrYRot->Value();
  Params.YRot = engine::AngleFromPosition(v);
  lblYRotV->setText(IntegerText(v));
}

void FrmWhorlgen::scrXFreq_Change() {
  Params.XFreq = engine::FigureFreqFromPosition(scrXFreq->Value());
  lblXFreqV->setText(DecimalText(Params.XFreq));
}

void FrmWhorlgen::scrYFreq_Change() {
  Params.YFreq = engine::FigureFreqFromPosition(scrYFreq->Value());
  lblYFReqV->setText(DecimalText(Params.YFreq));
}

void FrmWhorlgen::scrZFreq_Change() {
  Params.ZFreq = engine::FigureFreqFromPosition(scrZFreq->Value());
  lblZFreqV->setText(DecimalText(Params.ZFreq));
}

void FrmWhorlgen::scrRFreq_Change() {
  Params.RFreq = engine::ColourFreqFromPosition(scrRFreq->Value());
  lblRFreqV->setText(IntegerText(Params.RFreq));
}

void FrmWhorlgen::scrGFreq_Change() {
  Params.GFreq = engine::ColourFreqFromPosition(scrGFreq->Value());
  lblGFreqV->setText(IntegerText(Params.GFreq));
}

void FrmWhorlgen::scrBFreq_Change() {
  Params.BFreq = engine::ColourFreqFromPosition(scrBFreq->Value());
  lblBFreqV->setText(IntegerText(Params.BFreq));
}

void FrmWhorlgen::scrPointsPerSec_Change() {
  Params.PointsPerSec = engine::PointsPerSecFromPosition(scrPointsPerSec->Value());
  lblPPSV->setText(IntegerText(Params.PointsPerSec));
  ShowFrameRate();
}

void FrmWhorlgen::scrPointsPerFrame_Change() {
  Params.PointsPerFrame = engine::PointsPerFrameFromPosition(scrPointsPerFrame->Value());
  lblPPFV->setText(IntegerText(Params.PointsPerFrame));
  ShowFrameRate();
}

}  // namespace whorlgen::ui
