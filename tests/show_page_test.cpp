// A show on several projectors from the window: the further outputs in the
// settings file, on the Show page and in the window's note, and a show run
// from the panel on three emulated projectors.
#include <sys/socket.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>

#include "emulators/emulator_process.h"
#include "tests/ui_test_support.h"
#include "ui/devices_window.h"
#include "ui/projection_window.h"
#include "ui/show_setup.h"

namespace whorlgen::ui {
namespace {

// A settings file in `dir` with these lines, used from now on.
void WriteSettings(const QTemporaryDir& dir, const std::string& lines) {
  qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
  std::filesystem::create_directories(dir.path().toStdString() + "/whorlgen");
  std::ofstream(dir.path().toStdString() + "/whorlgen/whorlgen.conf") << lines;
}

QStringList WrittenOutputs(const QTemporaryDir& dir) {
  QSettings file(dir.path() + "/whorlgen/whorlgen.conf", QSettings::IniFormat);
  return file.value("show/outputs").toStringList();
}

QString Note(const FrmWhorlgen& window) {
  return window.findChild<QLabel*>("lblStatusNote")->text();
}

// Read at start-up (a library DAC, which only the panel plays, passed
// over), counted in the window's note with the panel's DAC, listed on the
// Show page after it; removed and added there, written back at once.
TEST(ShowPage, FurtherOutputsAreReadCountedListedAndKept) {
  QTemporaryDir dir;
  WriteSettings(dir,
                "[network]\netherdream_addresses=127.0.0.1:40011\n"
                "[show]\noutputs=IDN 127.0.0.1:40012, SoundCard, Ether Dream 127.0.0.1:40013\n");
  ProgramWindow program = MakeProgram();
  FrmWhorlgen& window = *program;
  EXPECT_EQ(Note(window), "3 projectors");
  EXPECT_TRUE(window.windowTitle().endsWith(QString::fromUtf8("\u2014 3 projectors")));

  auto* table = window.Devices()->findChild<QTableWidget*>("tblShowOutputs");
  ASSERT_EQ(table->rowCount(), 3);
  EXPECT_EQ(table->item(0, 0)->text(),
            QString::fromStdString(window.DacName()) + " (the panel's DAC)");
  EXPECT_EQ(table->item(1, 0)->text(), "IDN 127.0.0.1:40012");

  table->setCurrentCell(2, 0);
  QTest::mouseClick(window.Devices()->findChild<QPushButton*>("cmdRemoveOutput"), Qt::LeftButton);
  EXPECT_EQ(WrittenOutputs(dir), QStringList{"IDN 127.0.0.1:40012"});
  EXPECT_EQ(Note(window), "2 projectors");

  // The directory lists the unit added by address: it can join the show.
  auto* catalog = window.Devices()->findChild<QComboBox*>("lstShowCatalog");
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return catalog->findText("Ether Dream 127.0.0.1:40011") >= 0; }, 5000));
  catalog->setCurrentIndex(catalog->findText("Ether Dream 127.0.0.1:40011"));
  QTest::mouseClick(window.Devices()->findChild<QPushButton*>("cmdAddOutput"), Qt::LeftButton);
  EXPECT_EQ(WrittenOutputs(dir),
            (QStringList{"IDN 127.0.0.1:40012", "Ether Dream 127.0.0.1:40011"}));
  EXPECT_EQ(Note(window), "3 projectors");
}

// From the panel: the chosen Ether Dream and the two further outputs all
// play, the window's note counts them, and the run ends without a word.
TEST(ShowPage, AShowRunsFromThePanelOnEveryProjector) {
  QTemporaryDir dir;
  const std::string first = std::to_string(emulators::FreeLoopbackPort(SOCK_STREAM));
  const std::string second = std::to_string(emulators::FreeLoopbackPort(SOCK_STREAM));
  const std::string idn = std::to_string(emulators::FreeLoopbackPort(SOCK_DGRAM));
  WriteSettings(dir, "[network]\netherdream_addresses=127.0.0.1:" + first +
                         ", 127.0.0.1:" + second + "\nidn_addresses=127.0.0.1:" + idn +
                         "\n[show]\noutputs=Ether Dream 127.0.0.1:" + second +
                         ", IDN 127.0.0.1:" + idn + "\n");
  const std::string stats = dir.path().toStdString() + "/stats-";
  emulators::EmulatorProcess one(WHORLGEN_DAC_EMULATOR, {"--etherdream", "--port", first},
                                 stats + "1");
  emulators::EmulatorProcess two(WHORLGEN_DAC_EMULATOR, {"--etherdream", "--port", second},
                                 stats + "2");
  emulators::EmulatorProcess three(WHORLGEN_DAC_EMULATOR, {"--idn", "--port", idn}, stats + "3");
  ASSERT_TRUE(one.Started() && two.Started() && three.Started());

  ProgramWindow program = MakeProgram();
  FrmWhorlgen& window = *program;
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return window.ChooseDac("Ether Dream 127.0.0.1:" + first); }, 5000));
  QStringList told;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      told << box->findChild<QLabel*>("qt_msgbox_label")->text();
      box->close();
    }
  });
  watch.start(50);
  QString noteDuringShow;
  int viewable = 0;
  QTimer::singleShot(1000, [&] {
    noteDuringShow = Note(window);
    viewable = window.Projection()->findChild<QComboBox*>("lstProjectionOutput")->count();
    QTest::mouseClick(window.findChild<QPushButton*>("cmdStop"), Qt::LeftButton);
  });
  QTest::mouseClick(window.findChild<QPushButton*>("cmdStart"), Qt::LeftButton);
  EXPECT_TRUE(WaitForRunEnd(window));
  QTest::qWait(100);

  EXPECT_TRUE(told.isEmpty()) << told.join("; ").toStdString();
  EXPECT_EQ(noteDuringShow, "3 projectors");
  EXPECT_EQ(viewable, 3) << "the projection view can follow any of them";
  const long frames = window.TotalFrames();
  EXPECT_GT(frames, 10);
  for (emulators::EmulatorProcess* unit : {&one, &two, &three})
    EXPECT_GE(std::stol(unit->Stop()["points_received"]), 500L * frames);
}

}  // namespace
}  // namespace whorlgen::ui
