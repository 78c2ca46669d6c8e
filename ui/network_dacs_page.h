#pragma once
// The Devices window's "Network DACs" page: every DAC the device directory
// lists, with its state; a Scan button; "Use for the show", which picks the
// highlighted DAC in the panel's list; and a way to add a network DAC by
// address where broadcasts do not pass. Added addresses are kept in the
// settings file and handed to the directory again at the next start. The
// page only draws the directory's snapshots and sends it requests: nothing
// here waits on the network.

#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QTableWidget;

namespace whorlgen::ui {

class DacDirectory;

class NetworkDacsPage : public QWidget {
  Q_OBJECT

 public:
  // A family that can be given addresses: its name in the Kind box (the
  // family's Kind()), its key in the settings file, and the port its units
  // are reached on when an address names none.
  struct AddressKind {
    QString Kind;         // "Ether Dream"
    QString SettingsKey;  // "network/etherdream_addresses"
    std::uint16_t DefaultPort = 0;
  };

  explicit NetworkDacsPage(DacDirectory& directory, QWidget* parent = nullptr);

  // Offers the kind in the Kind box and hands the directory the addresses
  // saved for it.
  void AddKind(AddressKind kind);
  // "Use for the show" asks `use` to pick the DAC of that name in the
  // panel's list; `use` answers false when it cannot now (during a run).
  void SetChooser(std::function<bool(const std::string& name)> use) { use_ = std::move(use); }

 public slots:
  // Asks the directory for an active search; returns at once.
  void Scan();
  // The directory's latest snapshot.
  void Draw();

 private:
  void AddClicked();
  void RemoveClicked();
  void UseClicked();
  // False when the settings file could not be written.
  bool Save(const AddressKind& kind, const QStringList& addresses);
  QStringList Saved(const AddressKind& kind) const;
  const AddressKind* KindNamed(const QString& kind) const;

  DacDirectory& directory_;
  std::vector<AddressKind> kinds_;
  std::function<bool(const std::string&)> use_;
  QTableWidget* table_ = nullptr;
  QComboBox* kind_ = nullptr;
  QLineEdit* address_ = nullptr;
  QLabel* scanning_ = nullptr;
  QLabel* problems_ = nullptr;
  QLabel* note_ = nullptr;
};

}  // namespace whorlgen::ui
