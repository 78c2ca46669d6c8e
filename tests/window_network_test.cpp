// Recorded runs started from the panel on network DACs added by address,
// against the emulators on 127.0.0.1.
#include <sys/socket.h>

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
#include "tests/ui_test_support.h"
#include "ui/frm_whorlgen.h"

namespace whorlgen::ui {
namespace {

// The settings file of `dir` names one added unit.
void AddUnitInSettings(const QTemporaryDir& dir, const std::string& key, const std::string& port) {
  qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
  qputenv("WHORLGEN_SCAN_ADDRESSES", "127.0.0.1");
  std::filesystem::create_directories(dir.path().toStdString() + "/whorlgen");
  std::ofstream(dir.path().toStdString() + "/whorlgen/whorlgen.conf")
      << "[network]\n"
      << key << "=127.0.0.1:" << port << "\n";
}

struct PanelRun {
  QStringList told;  // every message box the run showed
  int frames = 0;
  int sections = 0;  // in the recording, the end section included
};

// Selects `dacName`, which must be listed after the three library DACs, ticks
// "ILDA Output", clicks Start and, half a second later, Stop.
PanelRun RecordedRunFromThePanel(const QTemporaryDir& dir, const std::string& dacName) {
  PanelRun run;
  FrmWhorlgen window;
  window.Loop.IldaDirectory = dir.path().toStdString();
  window.show();
  QCoreApplication::processEvents();
  auto* list = window.findChild<QListWidget*>("lstDACSelect");
  const auto found = list->findItems(QString::fromStdString(dacName), Qt::MatchExactly);
  EXPECT_EQ(found.size(), 1);
  if (found.size() != 1)
    return run;
  EXPECT_GE(list->row(found.front()), 3);
  list->setCurrentItem(found.front());
  window.findChild<QCheckBox*>("chkILDAout")->setChecked(true);

  // A message box would mean a failure: close it so the run can end.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      run.told << box->findChild<QLabel*>("qt_msgbox_label")->text();
      box->close();
    }
  });
  watch.start(50);
  QTimer::singleShot(
      500, [&] { QTest::mouseClick(window.findChild<QPushButton*>("cmdStop"), Qt::LeftButton); });
  QTest::mouseClick(window.findChild<QPushButton*>("cmdStart"), Qt::LeftButton);
  EXPECT_TRUE(WaitForRunEnd(window));
  QTest::qWait(100);  // a message told at the end is seen by the watch

  run.frames = window.TotalFrames();
  run.sections = static_cast<int>(IldaSections(window.Ilda.FilePath()).size());
  return run;
}

TEST(WindowNetworkDac, ARecordedRunFromThePanelPlaysOnTheEtherDream) {
  QTemporaryDir dir;
  const std::string port = std::to_string(emulators::FreeLoopbackPort(SOCK_STREAM));
  AddUnitInSettings(dir, "etherdream_addresses", port);
  emulators::EmulatorProcess unit(WHORLGEN_DAC_EMULATOR, {"--etherdream", "--port", port},
                                  dir.path().toStdString() + "/stats");
  ASSERT_TRUE(unit.Started());

  const PanelRun run = RecordedRunFromThePanel(dir, "Ether Dream 127.0.0.1:" + port);
  EXPECT_TRUE(run.told.isEmpty()) << run.told.join("; ").toStdString();
  EXPECT_GT(run.frames, 1);
  EXPECT_EQ(run.sections, run.frames + 1);
  auto report = unit.Stop();
  EXPECT_GE(std::stol(report["points_played"]), 500L * run.frames);
  EXPECT_EQ(report["rates"], "15000");
  EXPECT_EQ(report["underruns"], "0");
}

TEST(WindowNetworkDac, ARecordedRunFromThePanelPlaysOnTheIdnUnit) {
  QTemporaryDir dir;
  const std::string stats = dir.path().toStdString() + "/stats";
  emulators::EmulatorProcess unit(WHORLGEN_DAC_EMULATOR, {"--idn", "--port", "0"}, stats);
  ASSERT_TRUE(unit.Started());
  std::string port;
  std::ifstream report(stats);
  for (std::string line; std::getline(report, line);) {
    if (line.rfind("port=", 0) == 0)
      port = line.substr(5);
  }
  AddUnitInSettings(dir, "idn_addresses", port);

  const PanelRun run = RecordedRunFromThePanel(dir, "IDN 127.0.0.1:" + port);
  EXPECT_TRUE(run.told.isEmpty()) << run.told.join("; ").toStdString();
  EXPECT_GT(run.frames, 1);
  EXPECT_EQ(run.sections, run.frames + 1);
  auto result = unit.Stop();
  EXPECT_GE(std::stol(result["points_received"]), 500L * run.frames);
  EXPECT_EQ(result["underruns"], "0");
  EXPECT_EQ(result["closes"], "1");
}

}  // namespace
}  // namespace whorlgen::ui
