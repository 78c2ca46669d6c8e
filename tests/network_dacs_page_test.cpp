// The Devices window's network page over a directory with a stand-in family:
// addresses kept in the settings file (or said not to be), handed to the
// directory again at the next start, and removed for good.
#include "ui/network_dacs_page.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <mutex>

#include "ui/dac_directory.h"
#include "ui/devices_window.h"
#include "ui/settings_file.h"

namespace whorlgen::ui {
namespace {

// Lists the addresses it was given, as a network family lists added units.
class StandInFamily : public output::DacFamily {
 public:
  explicit StandInFamily(std::vector<std::string>& given) : given_(given) {}
  std::string Kind() const override { return "Stand-in"; }
  std::vector<output::DacInfo> Devices() override {
    std::lock_guard lock(mutex_);
    std::vector<output::DacInfo> devices;
    for (const std::string& address : given_) {
      output::DacInfo dac;
      dac.Name = "Stand-in " + address;
      dac.Kind = Kind();
      dac.Address = address;
      devices.push_back(dac);
    }
    return devices;
  }
  std::unique_ptr<output::DacDriver> MakeDriver(const output::DacInfo&) override { return nullptr; }
  std::optional<std::string> AddAddress(const std::string& text) override {
    std::lock_guard lock(mutex_);
    given_.push_back(text);
    return text;
  }
  void RemoveAddress(const std::string& text) override {
    std::lock_guard lock(mutex_);
    std::erase(given_, text);
  }

 private:
  std::mutex mutex_;
  std::vector<std::string>& given_;
};

struct Page {
  explicit Page(std::vector<std::string>& given) {
    auto directory = std::make_unique<discovery::DeviceDirectory>();
    directory->AddFamily(std::make_unique<StandInFamily>(given));
    dacs = std::make_unique<DacDirectory>(std::move(directory));
    page = std::make_unique<NetworkDacsPage>(*dacs);
    page->AddKind({"Stand-in", "network/standin_addresses", 7765});
  }
  QString Note() const { return page->findChild<QLabel*>("lblAddNote")->text(); }
  void Add(const QString& text) {
    page->findChild<QLineEdit*>("txtAddAddress")->setText(text);
    QTest::mouseClick(page->findChild<QPushButton*>("cmdAddAddress"), Qt::LeftButton);
  }
  QTableWidget* Table() const { return page->findChild<QTableWidget*>("tblNetworkDacs"); }

  std::unique_ptr<DacDirectory> dacs;
  std::unique_ptr<NetworkDacsPage> page;
};

TEST(NetworkDacsPage, AddedAddressesAreKeptForTheNextStartAndRemovedForGood) {
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  std::vector<std::string> given;
  {
    Page first(given);
    first.Add("no address");
    EXPECT_TRUE(first.Note().contains("not an IPv4 address")) << first.Note().toStdString();
    first.Add(" 127.0.0.1 ");
    EXPECT_EQ(OpenSettings()->value("network/standin_addresses").toStringList(),
              QStringList{"127.0.0.1:7765"});
    EXPECT_TRUE(first.Note().contains("kept for the next start"));
    QTRY_COMPARE(first.Table()->rowCount(), 1);
  }

  given.clear();
  Page next(given);
  QTRY_COMPARE(next.Table()->rowCount(), 1);
  EXPECT_EQ(next.Table()->item(0, 2)->text(), "127.0.0.1:7765");
  next.Table()->setCurrentCell(0, 0);
  QTest::mouseClick(next.page->findChild<QPushButton*>("cmdRemoveAddress"), Qt::LeftButton);
  EXPECT_FALSE(OpenSettings()->contains("network/standin_addresses"));
  EXPECT_TRUE(next.Note().contains("removed")) << next.Note().toStdString();
  EXPECT_FALSE(next.Note().contains("kept for the next start"));
  QTRY_COMPARE(next.Table()->rowCount(), 0);
}

TEST(NetworkDacsPage, TheAddressExampleIsReadWholeInALargeFont) {
  const QFont usual = QApplication::font();
  QFont large = usual;
  large.setPointSize(20);
  QApplication::setFont(large);
  std::vector<std::string> given;
  Page page(given);
  DevicesWindow window;
  window.AddPage(page.page.release(), "Network DACs");
  window.Open();
  auto* address = window.findChild<QLineEdit*>("txtAddAddress");
  EXPECT_LE(address->fontMetrics().horizontalAdvance(address->placeholderText()),
            address->contentsRect().width() - 8);
  QApplication::setFont(usual);
}

TEST(NetworkDacsPage, AnAddressThatCannotBeKeptIsSaidSo) {
  QTemporaryDir config;
  // A file where the settings folder would be: nothing can be written there,
  // whoever runs the test.
  const QString blocked = config.path() + "/not-a-folder";
  std::ofstream(blocked.toStdString()) << "x";
  qputenv("XDG_CONFIG_HOME", blocked.toUtf8());
  std::vector<std::string> given;
  Page page(given);
  page.Add("127.0.0.1:7000");
  EXPECT_TRUE(page.Note().contains("could not be kept")) << page.Note().toStdString();
  QTRY_COMPARE(page.Table()->rowCount(), 1);  // listed for now all the same
}

}  // namespace
}  // namespace whorlgen::ui
