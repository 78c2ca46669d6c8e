#include "ui/network_dacs_page.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "lasers/etherdream_family.h"
#include "ui/dac_directory.h"
#include "ui/devices_window.h"
#include "ui/settings_file.h"

namespace whorlgen::ui {

namespace {

enum Column { kName, kKind, kAddress, kState, kColumns };

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

NetworkDacsPage::NetworkDacsPage(DacDirectory& directory, QWidget* parent)
    : QWidget(parent), directory_(directory) {
  setObjectName("pageNetworkDacs");
  auto* layout = new QVBoxLayout(this);

  table_ = MakeDeviceTable("tblNetworkDacs", {"DAC", "Kind", "Address", "State"}, this);
  layout->addWidget(table_);

  problems_ = new QLabel(this);
  problems_->setObjectName("lblNetworkProblems");
  problems_->setTextFormat(Qt::PlainText);
  problems_->setWordWrap(true);
  problems_->hide();
  layout->addWidget(problems_);

  auto* buttons = new QHBoxLayout;
  auto* scan = new QPushButton("Scan", this);
  scan->setObjectName("cmdScan");
  auto* use = new QPushButton("Use for the show", this);
  use->setObjectName("cmdUseForShow");
  auto* remove = new QPushButton("Remove address", this);
  remove->setObjectName("cmdRemoveAddress");
  scanning_ = new QLabel(this);
  scanning_->setObjectName("lblScanning");
  buttons->addWidget(scan);
  buttons->addWidget(scanning_);
  buttons->addStretch();
  buttons->addWidget(use);
  buttons->addWidget(remove);
  layout->addLayout(buttons);

  auto* adding = new QHBoxLayout;
  kind_ = new QComboBox(this);
  kind_->setObjectName("lstAddKind");
  address_ = new QLineEdit(this);
  address_->setObjectName("txtAddAddress");
  address_->setPlaceholderText("192.168.1.20");
  // The example is read whole whatever the font: frame, margins and cursor
  // take about a dozen pixels beside the text.
  address_->setMinimumWidth(address_->fontMetrics().horizontalAdvance(address_->placeholderText()) +
                            4 * address_->fontMetrics().averageCharWidth());
  address_->setToolTip(
      "The unit's IPv4 address, with :port when it listens on another port "
      "than its kind's usual one");
  auto* add = new QPushButton("Add", this);
  add->setObjectName("cmdAddAddress");
  adding->addWidget(new QLabel("Add by address:", this));
  adding->addWidget(kind_);
  adding->addWidget(address_, 1);
  adding->addWidget(add);
  layout->addLayout(adding);
  note_ = new QLabel(this);
  note_->setObjectName("lblAddNote");
  note_->setTextFormat(Qt::PlainText);
  note_->setWordWrap(true);
  layout->addWidget(note_);

  connect(scan, &QPushButton::clicked, this, &NetworkDacsPage::Scan);
  connect(add, &QPushButton::clicked, this, &NetworkDacsPage::AddClicked);
  connect(address_, &QLineEdit::returnPressed, this, &NetworkDacsPage::AddClicked);
  connect(remove, &QPushButton::clicked, this, &NetworkDacsPage::RemoveClicked);
  connect(use, &QPushButton::clicked, this, &NetworkDacsPage::UseClicked);
  connect(&directory_, &DacDirectory::Changed, this, &NetworkDacsPage::Draw, Qt::QueuedConnection);
  Draw();
}

void NetworkDacsPage::AddKind(AddressKind kind) {
  std::vector<std::string> saved;
  for (const QString& address : Saved(kind)) {
    if (auto sockaddr = lasers::ParseHostPort(address.trimmed().toStdString(), kind.DefaultPort))
      saved.push_back(lasers::AddressText(*sockaddr));
  }
  if (!saved.empty())
    directory_.Directory().RequestAddAddresses(kind.Kind.toStdString(), std::move(saved));
  kind_->addItem(kind.Kind);
  kinds_.push_back(std::move(kind));
}

QStringList NetworkDacsPage::Saved(const AddressKind& kind) const {
  return OpenSettings()->value(kind.SettingsKey).toStringList();
}

bool NetworkDacsPage::Save(const AddressKind& kind, const QStringList& addresses) {
  auto settings = OpenSettings();
  if (addresses.isEmpty())
    settings->remove(kind.SettingsKey);
  else
    settings->setValue(kind.SettingsKey, addresses);
  settings->sync();
  return settings->status() == QSettings::NoError;
}

const NetworkDacsPage::AddressKind* NetworkDacsPage::KindNamed(const QString& kind) const {
  for (const AddressKind& k : kinds_) {
    if (k.Kind == kind)
      return &k;
  }
  return nullptr;
}

void NetworkDacsPage::AddClicked() {
  const AddressKind* kind = KindNamed(kind_->currentText());
  if (kind == nullptr)
    return;
  const QString text = address_->text().trimmed();
  const auto address = lasers::ParseHostPort(text.toStdString(), kind->DefaultPort);
  if (!address) {
    note_->setText("\"" + text + "\" is not an IPv4 address (with an optional :port).");
    return;
  }
  const QString listed = Text(lasers::AddressText(*address));
  if (!directory_.Directory().RequestAddAddresses(kind->Kind.toStdString(),
                                                  {listed.toStdString()})) {
    note_->setText("The device list is busy; press Add again in a moment.");
    return;
  }
  address_->clear();
  QStringList saved = Saved(*kind);
  if (!saved.contains(listed))
    saved.append(listed);
  if (Save(*kind, saved))
    note_->setText(kind->Kind + " at " + listed + " added; it is kept for the next start.");
  else
    note_->setText(kind->Kind + " at " + listed +
                   " added for now, but it could not be kept for the next start: the settings "
                   "file " +
                   SettingsFilePath() + " cannot be written.");
}

void NetworkDacsPage::RemoveClicked() {
  const int row = table_->currentRow();
  if (row < 0) {
    note_->setText("Choose the unit to remove in the table first.");
    return;
  }
  const QString name = table_->item(row, kName)->text();
  const QString address = table_->item(row, kAddress)->text();
  const AddressKind* kind = KindNamed(table_->item(row, kKind)->text());
  QStringList saved = kind != nullptr ? Saved(*kind) : QStringList();
  if (kind == nullptr || !saved.contains(address)) {
    note_->setText(name + " was not added by address: there is nothing to remove.");
    return;
  }
  if (!directory_.Directory().RequestRemoveAddress(kind->Kind.toStdString(),
                                                   address.toStdString())) {
    note_->setText("The device list is busy; press Remove address again in a moment.");
    return;
  }
  saved.removeAll(address);
  if (Save(*kind, saved))
    note_->setText(kind->Kind + " at " + address +
                   " removed; it will not be listed at the next start.");
  else
    note_->setText(kind->Kind + " at " + address + " removed for now, but the settings file " +
                   SettingsFilePath() +
                   " cannot be written: it will be listed again at the next start.");
}

void NetworkDacsPage::UseClicked() {
  const int row = table_->currentRow();
  if (row < 0) {
    note_->setText("Choose a DAC in the table first.");
    return;
  }
  const QString name = table_->item(row, kName)->text();
  if (!use_ || !use_(name.toStdString())) {
    note_->setText("The DAC can be changed once the run has ended.");
    return;
  }
  note_->setText(name + " plays at the next Start.");
}

void NetworkDacsPage::Scan() {
  directory_.Directory().RequestScan();
}

void NetworkDacsPage::Draw() {
  const discovery::Snapshot snapshot = directory_.Latest();
  const QString selected =
      table_->currentRow() >= 0 ? table_->item(table_->currentRow(), kName)->text() : QString();
  table_->setRowCount(static_cast<int>(snapshot.Devices.size()));
  for (int row = 0; row < static_cast<int>(snapshot.Devices.size()); ++row) {
    const output::DacInfo& dac = snapshot.Devices[static_cast<std::size_t>(row)];
    const QString cells[kColumns] = {Text(dac.Name), Text(dac.Kind), Text(dac.Address),
                                     Text(std::string(output::DeviceStateWords(dac.State)))};
    for (int column = 0; column < kColumns; ++column)
      table_->setItem(row, column, new QTableWidgetItem(cells[column]));
    if (cells[kName] == selected)
      table_->setCurrentCell(row, kName);
  }
  scanning_->setText(snapshot.Scanning ? QStringLiteral("Scanning\u2026") : QString());
  QStringList problems;
  for (const std::string& problem : snapshot.Problems)
    problems << Text(problem);
  problems_->setText(problems.join('\n'));
  problems_->setVisible(!problems.isEmpty());
}

}  // namespace whorlgen::ui
