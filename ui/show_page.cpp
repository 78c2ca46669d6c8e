#include "ui/show_page.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/dac_directory.h"
#include "ui/devices_window.h"
#include "ui/frm_whorlgen.h"
#include "ui/show_setup.h"

namespace whorlgen::ui {

namespace {

enum Column { kOutput, kState };
constexpr int kRedrawMs = 250;
constexpr char kPanelsOwn[] = " (the panel's DAC)";

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

QString StateText(const output::ShowOutputStatus& status) {
  switch (status.State) {
    case output::ShowOutputState::Opening:
      return "opening";
    case output::ShowOutputState::Playing: {
      QString text = "playing";
      if (status.FramesSkipped > 0)
        text += QString(", %1 frames skipped: it cannot keep up").arg(status.FramesSkipped);
      if (!status.Note.empty())
        text += ": " + Text(status.Note);
      return text;
    }
    case output::ShowOutputState::Left:
      return "left the show: " + Text(status.Why);
    case output::ShowOutputState::Rejoining:
      return "rejoining";
    case output::ShowOutputState::Closed:
      return status.Why.empty() ? QString() : "closed: " + Text(status.Why);
  }
  return {};
}

}  // namespace

ShowPage::ShowPage(FrmWhorlgen& window, DacDirectory& directory, QWidget* parent)
    : QWidget(parent), window_(window), directory_(directory) {
  setObjectName("pageShow");
  auto* layout = new QVBoxLayout(this);
  auto* about = new QLabel(
      "The show plays on the panel's DAC and on every output added here, each through its "
      "own projector profile, all in step. Changes take effect at the next Start.",
      this);
  about->setWordWrap(true);
  layout->addWidget(about);

  table_ = MakeDeviceTable("tblShowOutputs", {"Output", "State"}, this);
  layout->addWidget(table_);

  inStep_ = new QLabel(this);
  inStep_->setObjectName("lblInStep");
  layout->addWidget(inStep_);

  auto* buttons = new QHBoxLayout;
  catalog_ = new QComboBox(this);
  catalog_->setObjectName("lstShowCatalog");
  add_ = new QPushButton("Add", this);
  add_->setObjectName("cmdAddOutput");
  auto* remove = new QPushButton("Remove", this);
  remove->setObjectName("cmdRemoveOutput");
  auto* bringBack = new QPushButton("Bring back", this);
  bringBack->setObjectName("cmdBringBack");
  bringBack->setToolTip("Opens an output that left the show again; it joins at the next frame");
  buttons->addWidget(catalog_, 1);
  buttons->addWidget(add_);
  buttons->addWidget(remove);
  buttons->addWidget(bringBack);
  layout->addLayout(buttons);

  note_ = new QLabel(this);
  note_->setObjectName("lblShowNote");
  note_->setTextFormat(Qt::PlainText);
  note_->setWordWrap(true);
  layout->addWidget(note_);

  connect(add_, &QPushButton::clicked, this, &ShowPage::AddClicked);
  connect(remove, &QPushButton::clicked, this, &ShowPage::RemoveClicked);
  connect(bringBack, &QPushButton::clicked, this, &ShowPage::BringBackClicked);
  connect(&directory_, &DacDirectory::Changed, this, &ShowPage::Draw, Qt::QueuedConnection);
  connect(&redraw_, &QTimer::timeout, this, &ShowPage::Draw);
  Draw();
}

void ShowPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Draw();
  redraw_.start(kRedrawMs);
}

void ShowPage::hideEvent(QHideEvent* event) {
  redraw_.stop();
  QWidget::hideEvent(event);
}

std::string ShowPage::Selected() const {
  const int row = table_->currentRow();
  if (row < 0)
    return {};
  const std::vector<std::string> names = window_.Show().OutputsWith(window_.DacName());
  return row < static_cast<int>(names.size()) ? names[static_cast<std::size_t>(row)]
                                              : std::string();
}

void ShowPage::Draw() {
  const ShowSetup& show = window_.Show();
  const std::vector<std::string> names = show.OutputsWith(window_.DacName());
  const std::string selected = Selected();
  // The last show's states, by name.
  std::vector<output::ShowOutputStatus> states;
  if (show.Board())
    states = show.Board()->Outputs();
  table_->setRowCount(static_cast<int>(names.size()));
  for (int row = 0; row < static_cast<int>(names.size()); ++row) {
    const std::string& name = names[static_cast<std::size_t>(row)];
    QString state;
    for (const output::ShowOutputStatus& status : states) {
      if (status.Name == name)
        state = StateText(status);
      if (status.Name == name && name == rejoining_)
        TellHowTheRejoinWent(status);
    }
    table_->setItem(row, kOutput, new QTableWidgetItem(Text(name) + (row == 0 ? kPanelsOwn : "")));
    table_->setItem(row, kState, new QTableWidgetItem(state));
    if (name == selected)
      table_->setCurrentCell(row, kOutput);
  }
  const auto playing = std::count_if(states.begin(), states.end(), [](const auto& status) {
    return status.State == output::ShowOutputState::Playing;
  });
  inStep_->setText(window_.Loop.InRun() && playing > 1
                       ? QString("In step within %1 ms").arg(show.Board()->SpreadMs(), 0, 'f', 1)
                       : QString());

  // Any DAC the directory lists can be added, once.
  const QString current = catalog_->currentText();
  catalog_->clear();
  for (const output::DacInfo& dac : directory_.Latest().Devices) {
    if (std::find(names.begin(), names.end(), dac.Name) == names.end())
      catalog_->addItem(Text(dac.Name));
  }
  catalog_->setCurrentIndex(std::max(catalog_->findText(current), 0));
  add_->setEnabled(catalog_->count() > 0 &&
                   show.FurtherOutputs().size() < output::kMostFurtherOutputs);
}

void ShowPage::AddClicked() {
  const std::string name = catalog_->currentText().toStdString();
  if (name.empty())
    return;
  std::vector<std::string> further = window_.Show().FurtherOutputs();
  if (further.size() >= output::kMostFurtherOutputs) {
    note_->setText(QString("A show has at most %1 outputs besides the panel's DAC.")
                       .arg(output::kMostFurtherOutputs));
    return;
  }
  further.push_back(name);
  const QString problem = window_.SetFurtherOutputs(further);
  note_->setText(
      Text(name) + " plays in the show from the next Start." +
      (problem.isEmpty() ? QString() : " " + problem + " It is kept until the program ends."));
  Draw();
}

void ShowPage::RemoveClicked() {
  const std::string name = Selected();
  std::vector<std::string> further = window_.Show().FurtherOutputs();
  const auto found = std::find(further.begin(), further.end(), name);
  if (name.empty() || found == further.end()) {
    note_->setText(name.empty() ? "Choose an output in the table first."
                                : "The panel's DAC is chosen on the panel.");
    return;
  }
  further.erase(found);
  const QString problem = window_.SetFurtherOutputs(further);
  note_->setText(Text(name) + " leaves the show at the next Start." +
                 (problem.isEmpty() ? QString() : " " + problem));
  Draw();
}

void ShowPage::BringBackClicked() {
  const std::string name = Selected();
  const ShowSetup& show = window_.Show();
  const std::vector<std::string>& played = show.ShowOutputs();
  const auto found = std::find(played.begin(), played.end(), name);
  if (name.empty() || !show.Board() || found == played.end() || !window_.Loop.InRun() ||
      !show.Board()->Rejoin(static_cast<std::size_t>(found - played.begin()))) {
    note_->setText("An output can be brought back while the show plays, once it has left it.");
    return;
  }
  note_->setText(Text(name) + " is being opened again; it joins the show at the start of a frame.");
  rejoining_ = name;
  Draw();
}

void ShowPage::TellHowTheRejoinWent(const output::ShowOutputStatus& status) {
  if (status.State == output::ShowOutputState::Playing)
    note_->setText(Text(status.Name) + " is back in the show.");
  else if (status.State == output::ShowOutputState::Left)
    note_->setText(Text(status.Name) + " could not be brought back: " + Text(status.Why));
  else
    return;
  rejoining_.clear();
}

}  // namespace whorlgen::ui
