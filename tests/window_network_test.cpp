// Recorded runs started from the panel on network DACs added by address,
// against the emulators on 127.0.0.1.
#include <sys/socket.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fstream>

#include "emulators/emulator_process.h"
#include "tests/ilda_test_reader.h"
#include "tests/jack_server.h"
#include "tests/ui_test_support.h"
#include "ui/devices_window.h"
#include "ui/frm_whorlgen.h"

namespace whorlgen::ui {
namespace {

// The settings file of `dir` names the added units, "127.0.0.1:<port>" each.
void AddUnitInSettings(const QTemporaryDir& dir, const std::string& key, const std::string& port,
                       const std::string& secondPort = {}) {
  qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
  qputenv("WHORLGEN_SCAN_ADDRESSES", "127.0.0.1");
  std::filesystem::create_directories(dir.path().toStdString() + "/whorlgen");
  std::ofstream(dir.path().toStdString() + "/whorlgen/whorlgen.conf")
      << "[network]\n"
      << key << "=127.0.0.1:" << port << (secondPort.empty() ? "" : ", 127.0.0.1:" + secondPort)
      << "\n";
}

QMessageBox* ShownMessageBox() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible())
      return box;
  }
  return nullptr;
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
  ProgramWindow windowProgram = MakeProgram();
  FrmWhorlgen& window = *windowProgram;
  window.Loop.IldaDirectory = dir.path().toStdString();
  window.show();
  QCoreApplication::processEvents();
  // The directory lists the added unit as soon as its thread has it.
  auto* list = window.findChild<QListWidget*>("lstDACSelect");
  EXPECT_TRUE(QTest::qWaitFor([&] { return window.ChooseDac(dacName); }, 5000));
  EXPECT_GE(list->currentRow(), 3);
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

// Two units of one kind whose full names share their first twenty letters:
// the narrow list shows each whole where it differs, and the Devices window
// can choose either for the show.
TEST(WindowNetworkDac, UnitsOfOneKindReadApartInTheListAndAreChosenFromTheDevicesWindow) {
  QTemporaryDir dir;
  AddUnitInSettings(dir, "etherdream_addresses", "40001", "40002");
  ProgramWindow windowProgram = MakeProgram();
  FrmWhorlgen& window = *windowProgram;
  window.show();
  const std::vector<std::string> names = {"Ether Dream 127.0.0.1:40001",
                                          "Ether Dream 127.0.0.1:40002"};
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.ListedDacNames().size() == 5; }, 5000));
  EXPECT_EQ(window.ListedDacNames(),
            (std::vector<std::string>{"SoundCard", "EZLase", "RIYA", names[0], names[1]}));

  auto* list = window.findChild<QListWidget*>("lstDACSelect");
  const int margin = list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
  for (int row = 3; row < 5; ++row) {
    QListWidgetItem* item = list->item(row);
    EXPECT_LE(list->fontMetrics().horizontalAdvance(item->text()) + 2 * margin,
              list->visualItemRect(item).width())
        << item->text().toStdString() << " is cut where it is drawn";
    EXPECT_TRUE(item->toolTip().startsWith(QString::fromStdString(names[row - 3])));
  }
  EXPECT_NE(list->item(3)->text(), list->item(4)->text());

  window.Devices()->Open();
  auto* table = window.Devices()->findChild<QTableWidget*>("tblNetworkDacs");
  ASSERT_TRUE(QTest::qWaitFor([&] { return table->rowCount() == 2; }, 5000));
  table->setCurrentCell(1, 0);
  QTest::mouseClick(window.Devices()->findChild<QPushButton*>("cmdUseForShow"), Qt::LeftButton);
  EXPECT_EQ(window.DacName(), names[1]);
  EXPECT_EQ(list->currentRow(), 4);
}

// The JACK server stops after "JACK" was chosen: the choice stays, shown as
// missing, and Start says so instead of playing on the sound card.
TEST(WindowNetworkDac, AChosenDacThatGoesMissingStaysChosenAndStartsNothing) {
  whorlgen::testing::DummyJackServer server;
  if (const std::string why = server.Start(); !why.empty())
    GTEST_SKIP() << why;
  QTemporaryDir dir;
  qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
  ProgramWindow windowProgram = MakeProgram();
  FrmWhorlgen& window = *windowProgram;
  window.Loop.IldaDirectory = dir.path().toStdString();
  window.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.ChooseDac("JACK"); }, 5000));

  server.Stop();
  auto* list = window.findChild<QListWidget*>("lstDACSelect");
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return list->currentItem()->toolTip().contains("missing"); }, 5000));
  EXPECT_EQ(window.DacName(), "JACK");

  window.findChild<QCheckBox*>("chkILDAout")->setChecked(true);
  QTest::mouseClick(window.findChild<QPushButton*>("cmdStart"), Qt::LeftButton);
  QMessageBox* box = ShownMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->text().contains("JACK is missing")) << box->text().toStdString();
  box->close();
  EXPECT_EQ(window.TotalFrames(), 0);
  EXPECT_TRUE(window.findChild<QPushButton*>("cmdStart")->isEnabled());
  EXPECT_TRUE(QDir(dir.path()).entryList({"*.ild"}, QDir::Files).isEmpty()) << "a run started";
  unsetenv("JACK_DEFAULT_SERVER");
}

}  // namespace
}  // namespace whorlgen::ui
