// A recorded run started from the panel on an Ether Dream added by address,
// against the emulator on 127.0.0.1.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fstream>

#include "emulators/emulator_process.h"
#include "tests/ilda_test_reader.h"
#include "ui/frm_whorlgen.h"

namespace whorlgen::ui {
namespace {

TEST(WindowNetworkDac, ARecordedRunFromThePanelPlaysOnTheEtherDream) {
  QTemporaryDir dir;
  const std::string port = std::to_string(emulators::FreeLoopbackPort(SOCK_STREAM));
  qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
  qputenv("WHORLGEN_SCAN_ADDRESSES", "127.0.0.1");
  std::filesystem::create_directories(dir.path().toStdString() + "/whorlgen");
  std::ofstream(dir.path().toStdString() + "/whorlgen/whorlgen.conf")
      << "[network]\netherdream_addresses=127.0.0.1:" << port << "\n";
  emulators::EmulatorProcess unit(WHORLGEN_DAC_EMULATOR, {"--etherdream", "--port", port},
                                  dir.path().toStdString() + "/stats");
  ASSERT_TRUE(unit.Started());

  FrmWhorlgen window;
  window.Loop.IldaDirectory = dir.path().toStdString();
  window.show();
  QCoreApplication::processEvents();
  auto* list = window.findChild<QListWidget*>("lstDACSelect");
  const auto found =
      list->findItems(QString::fromStdString("Ether Dream 127.0.0.1:" + port), Qt::MatchExactly);
  ASSERT_EQ(found.size(), 1);
  EXPECT_GE(list->row(found.front()), 3);  // after the three library DACs
  list->setCurrentItem(found.front());
  window.findChild<QCheckBox*>("chkILDAout")->setChecked(true);

  // A message box would mean a failure: close it so the run can end.
  QStringList told;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      told << box->findChild<QLabel*>("qt_msgbox_label")->text();
      box->close();
    }
  });
  watch.start(50);
  QTimer::singleShot(
      500, [&] { QTest::mouseClick(window.findChild<QPushButton*>("cmdStop"), Qt::LeftButton); });
  QTest::mouseClick(window.findChild<QPushButton*>("cmdStart"), Qt::LeftButton);

  EXPECT_TRUE(told.isEmpty()) << told.join("; ").toStdString();
  const int frames = window.TotalFrames();
  EXPECT_GT(frames, 1);
  EXPECT_EQ(static_cast<int>(IldaSections(window.Ilda.FilePath()).size()), frames + 1);
  auto report = unit.Stop();
  EXPECT_GE(std::stol(report["points_played"]), 500L * frames);
  EXPECT_EQ(report["rates"], "15000");
  EXPECT_EQ(report["underruns"], "0");
}

}  // namespace
}  // namespace whorlgen::ui
