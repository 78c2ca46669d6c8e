// The Devices window's network page with a stand-in family: addresses kept
// in the settings file, and the DAC list refreshed when the devices change.
#include "ui/network_dacs_page.h"

#include <gtest/gtest.h>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "ui/settings_file.h"

namespace whorlgen::ui {
namespace {

class StandInFamily : public output::DacFamily {
 public:
  std::vector<output::DacInfo> devices;
  std::vector<output::DacInfo> afterScan;
  std::string Kind() const override { return "Stand-in"; }
  void Scan() override { devices = afterScan; }
  std::vector<output::DacInfo> Devices() override { return devices; }
  std::unique_ptr<output::DacDriver> MakeDriver(const output::DacInfo&) override { return nullptr; }
};

std::optional<std::string> TakeLoopback(const std::string& text, std::vector<std::string>& got) {
  if (text.rfind("127.0.0.1", 0) != 0)
    return std::nullopt;
  got.push_back(text.find(':') == std::string::npos ? text + ":7765" : text);
  return got.back();
}

TEST(NetworkDacsPage, AddedAddressesAreKeptAndTheListFollowsTheDevices) {
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  output::DacCatalog catalog;
  auto owned = std::make_unique<StandInFamily>();
  StandInFamily& family = *owned;
  catalog.AddFamily(std::move(owned));
  std::vector<std::string> given;
  auto kind = [&given] {
    return NetworkDacsPage::AddressKind{
        "Stand-in", "network/standin_addresses",
        [&given](const std::string& text) { return TakeLoopback(text, given); }, nullptr};
  };

  {
    NetworkDacsPage page(catalog);
    page.AddKind(kind(), "UDP port 7654 is taken");
    EXPECT_TRUE(page.findChild<QLabel*>("lblNetworkProblems")->text().contains("7654"));
    auto* address = page.findChild<QLineEdit*>("txtAddAddress");
    auto* add = page.findChild<QPushButton*>("cmdAddAddress");
    address->setText("no address");
    QTest::mouseClick(add, Qt::LeftButton);
    EXPECT_TRUE(page.findChild<QLabel*>("lblAddNote")->text().contains("not an IPv4 address"));
    address->setText(" 127.0.0.1 ");
    QTest::mouseClick(add, Qt::LeftButton);
    EXPECT_EQ(OpenSettings()->value("network/standin_addresses").toStringList(),
              QStringList{"127.0.0.1:7765"});

    // Scan finds a device: the list is refreshed once, and again only after
    // a refresh that a run put off.
    int refreshes = 0;
    bool runHoldsList = false;
    page.SetListRefresher([&] {
      ++refreshes;
      return !runHoldsList;
    });
    family.afterScan = {{"Stand-in one", "Stand-in", "127.0.0.1:7765", "idle"}};
    runHoldsList = true;
    page.Scan();
    runHoldsList = false;
    page.Scan();
    page.Scan();
    EXPECT_EQ(refreshes, 2);
  }

  given.clear();
  NetworkDacsPage nextStart(catalog);
  nextStart.AddKind(kind());
  EXPECT_EQ(given, std::vector<std::string>{"127.0.0.1:7765"});
}

}  // namespace
}  // namespace whorlgen::ui
