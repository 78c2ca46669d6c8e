#include "ui/network_dacs_page.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/settings_file.h"

namespace whorlgen::ui {

namespace {
constexpr int kPollMs = 1000;  // devices come and go on a scale of seconds
}

NetworkDacsPage::NetworkDacsPage(output::DacCatalog& catalog, QWidget* parent)
    : QWidget(parent), catalog_(catalog) {
  setObjectName("pageNetworkDacs");
  auto* layout = new QVBoxLayout(this);

  table_ = new QTableWidget(0, 4, this);
  table_->setObjectName("tblNetworkDacs");
  table_->setHorizontalHeaderLabels({"DAC", "Kind", "Address", "State"});
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->verticalHeader()->hide();
  layout->addWidget(table_);

  problems_ = new QLabel(this);
  problems_->setObjectName("lblNetworkProblems");
  problems_->setWordWrap(true);
  problems_->hide();
  layout->addWidget(problems_);

  auto* buttons = new QHBoxLayout;
  auto* scan = new QPushButton("Scan", this);
  scan->setObjectName("cmdScan");
  auto* remove = new QPushButton("Remove address", this);
  remove->setObjectName("cmdRemoveAddress");
  buttons->addWidget(scan);
  buttons->addWidget(remove);
  buttons->addStretch();
  layout->addLayout(buttons);

  auto* adding = new QHBoxLayout;
  kind_ = new QComboBox(this);
  kind_->setObjectName("lstAddKind");
  address_ = new QLineEdit(this);
  address_->setObjectName("txtAddAddress");
  address_->setPlaceholderText("192.168.1.20 or 192.168.1.20:7765");
  auto* add = new QPushButton("Add", this);
  add->setObjectName("cmdAddAddress");
  adding->addWidget(new QLabel("Add by address:", this));
  adding->addWidget(kind_);
  adding->addWidget(address_, 1);
  adding->addWidget(add);
  layout->addLayout(adding);
  addNote_ = new QLabel(this);
  addNote_->setObjectName("lblAddNote");
  layout->addWidget(addNote_);

  connect(scan, &QPushButton::clicked, this, &NetworkDacsPage::Scan);
  connect(add, &QPushButton::clicked, this, &NetworkDacsPage::AddClicked);
  connect(address_, &QLineEdit::returnPressed, this, &NetworkDacsPage::AddClicked);
  connect(remove, &QPushButton::clicked, this, &NetworkDacsPage::RemoveClicked);
  poll_ = new QTimer(this);
  connect(poll_, &QTimer::timeout, this, &NetworkDacsPage::Poll);
  poll_->start(kPollMs);
  // The devices known at start-up (the added addresses) join the DAC list as
  // soon as the program handles events, not a poll later.
  QTimer::singleShot(0, this, &NetworkDacsPage::Poll);
}

void NetworkDacsPage::AddKind(AddressKind kind, const std::string& listenProblem) {
  for (const QString& address : Saved(kind))
    kind.Add(address.toStdString());
  kind_->addItem(kind.Kind);
  kinds_.push_back(std::move(kind));
  if (!listenProblem.empty()) {
    const QString earlier = problems_->text();
    problems_->setText((earlier.isEmpty() ? "" : earlier + "\n") +
                       QString::fromStdString(listenProblem));
    problems_->show();
  }
  Refresh();
}

QStringList NetworkDacsPage::Saved(const AddressKind& kind) const {
  return OpenSettings()->value(kind.SettingsKey).toStringList();
}

void NetworkDacsPage::Save(const AddressKind& kind, const QStringList& addresses) {
  auto settings = OpenSettings();
  if (addresses.isEmpty())
    settings->remove(kind.SettingsKey);
  else
    settings->setValue(kind.SettingsKey, addresses);
}

void NetworkDacsPage::AddClicked() {
  const int index = kind_->currentIndex();
  if (index < 0)
    return;
  const AddressKind& kind = kinds_[static_cast<std::size_t>(index)];
  const QString text = address_->text().trimmed();
  const auto added = kind.Add(text.toStdString());
  if (!added) {
    addNote_->setText("\"" + text + "\" is not an IPv4 address (with an optional :port).");
    return;
  }
  const QString listed = QString::fromStdString(*added);
  QStringList saved = Saved(kind);
  if (!saved.contains(listed))
    saved.append(listed);
  Save(kind, saved);
  addNote_->setText(kind.Kind + " at " + listed + " added; it is kept for the next start.");
  address_->clear();
  Refresh();
  Poll();
}

void NetworkDacsPage::RemoveClicked() {
  const int row = table_->currentRow();
  if (row < 0)
    return;
  const QString kindName = table_->item(row, 1)->text();
  const QString address = table_->item(row, 2)->text();
  for (const AddressKind& kind : kinds_) {
    if (kind.Kind != kindName)
      continue;
    QStringList saved = Saved(kind);
    saved.removeAll(address);
    Save(kind, saved);
    if (kind.Remove)
      kind.Remove(address.toStdString());
  }
  Refresh();
  Poll();
}

void NetworkDacsPage::Scan() {
  catalog_.Scan();
  Refresh();
  Poll();
}

void NetworkDacsPage::Refresh() {
  const std::vector<output::DacInfo> devices = catalog_.Devices();
  table_->setRowCount(static_cast<int>(devices.size()));
  for (int row = 0; row < static_cast<int>(devices.size()); ++row) {
    const output::DacInfo& dac = devices[static_cast<std::size_t>(row)];
    const std::string cells[] = {dac.Name, dac.Kind, dac.Address, dac.State};
    for (int column = 0; column < 4; ++column) {
      table_->setItem(row, column, new QTableWidgetItem(QString::fromStdString(cells[column])));
    }
  }
}

void NetworkDacsPage::Poll() {
  std::vector<std::string> names;
  for (const output::DacInfo& dac : catalog_.Devices())
    names.push_back(dac.Name);
  if (isVisible())
    Refresh();
  if (names == listedNames_)
    return;
  if (!refresh_ || refresh_())
    listedNames_ = std::move(names);
}

}  // namespace whorlgen::ui
