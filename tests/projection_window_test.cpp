// The Projection window and the profiles through the real panel, headless:
// the picture at the start-up values against a small golden image, and a
// guarded run going dark when both gains drop to their lowest.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <memory>

#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "output/projector_profile.h"
#include "tests/qt_test_environment.h"
#include "tests/ui_test_support.h"
#include "ui/frm_whorlgen.h"
#include "ui/panel_scroll_bar.h"
#include "ui/projection_window.h"
#include "ui/projector_settings.h"
#include "ui/settings_file.h"

namespace whorlgen::ui {

class ProjectionWindowProbe {
 public:
  static void DrawAllReceived(ProjectionWindow& window) { window.DrawAllReceived(); }
};

namespace {

// Every channel of every pixel within `tolerance` levels: the sine and
// exponential routines of another machine may move a level or two.
bool CloseEnough(const QImage& a, const QImage& b, int tolerance) {
  if (a.size() != b.size())
    return false;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
      if (std::abs(qRed(p) - qRed(q)) > tolerance || std::abs(qGreen(p) - qGreen(q)) > tolerance ||
          std::abs(qBlue(p) - qBlue(q)) > tolerance)
        return false;
    }
  }
  return true;
}

TEST(ProjectionWindow, StartupFigureMatchesTheGoldenImage) {
  ProjectionWindow window;
  window.Picture()->setFixedSize(96, 96);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.BeginRun(output::NeutralProfile(), "EZLase");
  // A tenth of a second of the start-up figure on the emulated card.
  engine::GeneratorState generator;
  engine::FrameData frame;
  for (int i = 0; i < 3; ++i) {
    engine::BuildFrame(engine::StartupParameters(), generator, 2, true, frame);
    window.FrameSent(frame.FrameBuffer, 15000);
  }
  ProjectionWindowProbe::DrawAllReceived(window);
  const QImage actual = window.Picture()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QImage golden(WHORLGEN_GOLDEN_DIR "/projection_startup.png");
  const bool same = CloseEnough(actual, golden.convertToFormat(QImage::Format_RGB32), 2);
  if (!same) {
    QDir().mkpath(WHORLGEN_TEST_TEMP_DIR);
    actual.save(WHORLGEN_TEST_TEMP_DIR "/projection_startup.png.actual", "PNG");
  }
  EXPECT_TRUE(same) << "see " WHORLGEN_TEST_TEMP_DIR "/projection_startup.png.actual";
}

// A hand-edited file cannot push a DAC past its field or switch off a guard
// by a typo: what is out of range or unreadable takes the default.
TEST(ProjectorSettings, UnreadableOrOutOfRangeValuesTakeTheDefault) {
  QTemporaryDir dir;
  QSettings settings(dir.filePath("whorlgen.conf"), QSettings::IniFormat);
  output::ProjectorProfile edited = output::SafeProfile();
  edited.FlipY = true;
  edited.ColourShiftPoints = 3;
  SaveProjectorProfile(settings, "IDN a/b", edited);
  EXPECT_EQ(LoadProjectorProfile(settings, "IDN a/b"), edited);
  settings.setValue("Projectors/IDN a_b/SizeXPercent", 500);
  settings.setValue("Projectors/IDN a_b/GuardDwellMs", "abc");
  const output::ProjectorProfile loaded = LoadProjectorProfile(settings, "IDN a/b");
  EXPECT_EQ(loaded.SizeXPercent, 100.0);
  EXPECT_EQ(loaded.Guard.DwellLimitMs, 50.0);
  EXPECT_TRUE(loaded.FlipY);
}

// The window says what it shows: while no run is on, a hint to press Start;
// during a run, the DAC and its scanners in the legend; the hint again after.
TEST(ProjectionWindow, HintWhileNoRunAndTheRunsScannersInTheLegend) {
  {
    output::ProjectorProfile slow = output::NeutralProfile();
    slow.ScannerRatingPps = 2500;
    slow.ScanAngleDeg = 20;
    auto settings = OpenSettings();
    SaveProjectorProfile(*settings, "EZLase", slow);
  }
  ProgramWindow panelProgram = MakeProgram();
  FrmWhorlgen& panel = *panelProgram;
  panel.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
  panel.findChild<QListWidget*>("lstDACSelect")->setCurrentRow(1);  // "EZLase"
  QTest::keyClick(&panel, Qt::Key_P, Qt::ControlModifier);
  const auto* hint = panel.Projection()->findChild<QLabel*>("lblProjectionHint");
  const auto* legend = panel.Projection()->findChild<QLabel*>("lblProjectionLegend");
  ASSERT_TRUE(hint && legend);
  EXPECT_TRUE(hint->isVisible());

  panel.findChild<QPushButton*>("cmdStart")->click();
  EXPECT_TRUE(QTest::qWaitFor([&] { return panel.TotalFrames() >= 2; }, 10000));
  EXPECT_FALSE(hint->isVisible());
  EXPECT_TRUE(legend->text().contains("EZLase")) << legend->text().toStdString();
  EXPECT_TRUE(legend->text().contains("2500 pps")) << legend->text().toStdString();
  EXPECT_TRUE(legend->text().contains(QString::fromUtf8("20\u00B0 optical")))
      << legend->text().toStdString();
  panel.findChild<QPushButton*>("cmdStop")->click();
  EXPECT_TRUE(WaitForRunEnd(panel));
  EXPECT_TRUE(hint->isVisible());
  EXPECT_TRUE(legend->text().startsWith("Last run, <b>EZLase</b>")) << legend->text().toStdString();
}

TEST(ProjectionWindow, GuardedRunGoesDarkAtTheLowestGainsAndTheViewFollows) {
  {
    output::ProjectorProfile guarded = output::NeutralProfile();
    guarded.Guard.Enabled = true;
    auto settings = OpenSettings();
    SaveProjectorProfile(*settings, "EZLase", guarded);
  }
  ProgramWindow panelProgram = MakeProgram();
  FrmWhorlgen& panel = *panelProgram;
  panel.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
  panel.findChild<QListWidget*>("lstDACSelect")->setCurrentRow(1);  // "EZLase", in real time
  QTest::keyClick(&panel, Qt::Key_P, Qt::ControlModifier);
  ProjectionWindow* view = panel.Projection();
  ASSERT_TRUE(view->isVisible());
  EXPECT_EQ(view->windowTitle(), "Whorlgen Projection");

  bool blanked = false;
  std::int64_t drawnBefore = 0;
  QTimer steps;
  int step = 0;
  QObject::connect(&steps, &QTimer::timeout, [&] {
    if (!panel.Running())
      return;
    if (step == 0 && panel.TotalFrames() >= 3) {
      drawnBefore = view->FramesDrawn();
      panel.findChild<PanelScrollBar*>("scrXGain")->SetValue(0);
      panel.findChild<PanelScrollBar*>("scrYGain")->SetValue(0);
      step = 1;
    } else if (step == 1 && panel.windowTitle().contains("beam guard")) {
      blanked = true;
      panel.findChild<QPushButton*>("cmdStop")->click();
      step = 2;
    }
  });
  steps.start(5);
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [&] { panel.close(); });
  watchdog.start(20000);
  panel.findChild<QPushButton*>("cmdStart")->click();
  EXPECT_TRUE(WaitForRunEnd(panel));
  EXPECT_TRUE(blanked);
  EXPECT_GT(view->FramesDrawn(), drawnBefore);
  // The note goes with the run.
  EXPECT_TRUE(QTest::qWaitFor([&] { return panel.windowTitle() == "Whorlgen"; }, 10000));
}

}  // namespace
}  // namespace whorlgen::ui
