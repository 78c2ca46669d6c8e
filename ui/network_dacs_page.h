#pragma once
// The Devices window's "Network DACs" page: every DAC the catalog knows, with
// its state; a Scan button; and a way to add a network DAC by address where
// broadcasts do not pass. Added addresses are kept in the settings file and
// given to their family again at the next start. A light poll notices when
// the set of devices changes and has the panel's DAC list refreshed.

#include <QStringList>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "output/dac_catalog.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QTableWidget;
class QTimer;

namespace whorlgen::ui {

class NetworkDacsPage : public QWidget {
  Q_OBJECT

 public:
  // A family that can be given addresses: its name in the Kind box, its key
  // in the settings file, and how it takes an address (the address as it
  // will be listed, or nullopt for text that is not one).
  struct AddressKind {
    QString Kind;         // "Ether Dream"
    QString SettingsKey;  // "network/etherdream_addresses"
    std::function<std::optional<std::string>(const std::string& address)> Add;
    std::function<void(const std::string& address)> Remove;
  };

  explicit NetworkDacsPage(output::DacCatalog& catalog, QWidget* parent = nullptr);

  // Offers the kind in the Kind box and hands it the addresses saved for it.
  // `listenProblem`, when not empty, is shown on the page.
  void AddKind(AddressKind kind, const std::string& listenProblem = {});
  // Called when the set of devices changed; false when the list cannot be
  // refreshed now (a run holds it), so the poll asks again later.
  void SetListRefresher(std::function<bool()> refresh) { refresh_ = std::move(refresh); }

 public slots:
  // An active search by every family, then the table again.
  void Scan();
  void Refresh();

 private:
  void AddClicked();
  void RemoveClicked();
  void Poll();
  void Save(const AddressKind& kind, const QStringList& addresses);
  QStringList Saved(const AddressKind& kind) const;

  output::DacCatalog& catalog_;
  std::vector<AddressKind> kinds_;
  std::function<bool()> refresh_;
  std::vector<std::string> listedNames_;
  QTableWidget* table_ = nullptr;
  QComboBox* kind_ = nullptr;
  QLineEdit* address_ = nullptr;
  QLabel* problems_ = nullptr;
  QLabel* addNote_ = nullptr;
  QTimer* poll_ = nullptr;
};

}  // namespace whorlgen::ui
