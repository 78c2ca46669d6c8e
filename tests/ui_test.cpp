#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>
#include <memory>
#include <vector>

#include "engine/parameters.h"
#include "preview/preview_surface.h"
#include "tests/qt_test_environment.h"
#include "tests/ui_qstring_printer.h"
#include "tests/ui_test_support.h"
#include "ui/devices_window.h"
#include "ui/frm_whorlgen.h"
#include "ui/panel_scroll_bar.h"

namespace whorlgen::ui {
namespace {

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = MakeProgram();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }

  FrmWhorlgen& W() { return *window_; }

  template <typename T>
  T* Control(const char* name) {
    T* control = window_->findChild<T*>(name);
    EXPECT_NE(control, nullptr) << name;
    return control;
  }
  PanelScrollBar* Bar(const char* name) { return Control<PanelScrollBar>(name); }
  QString Text(const char* labelName) { return Control<QLabel>(labelName)->text(); }

  ProgramWindow window_;
};

// Far beyond each end of a bar, so the thumb stops at that end.
QPoint BeyondStart(PanelScrollBar* bar) {
  return bar->orientation() == Qt::Vertical ? QPoint(bar->width() / 2, -400)
                                            : QPoint(-400, bar->height() / 2);
}
QPoint BeyondEnd(PanelScrollBar* bar) {
  return bar->orientation() == Qt::Vertical ? QPoint(bar->width() / 2, bar->height() + 400)
                                            : QPoint(bar->width() + 400, bar->height() / 2);
}

// Drags as the thumb would be dragged to position v, without a mouse: the
// exact values of the mappings are checked through this.
void DragTo(PanelScrollBar* bar, int v) {
  const int position = bar->Min() > bar->Max() ? bar->Min() - v : v - bar->Min();
  bar->setSliderDown(true);
  bar->setSliderPosition(position);
  bar->setSliderDown(false);
}

TEST_F(Window, LoadLeavesEveryParameterAndLabelAtItsStartupValue) {
  // Every parameter as the start-up positions of the bars map it.
  EXPECT_TRUE(W().Params == engine::StartupParameters());

  // The labels the Change handlers wrote during the load, and those that
  // kept their design-time captions.
  EXPECT_EQ(Text("lblXGainV"), "25");
  EXPECT_EQ(Text("lblYGainV"), "25");
  EXPECT_EQ(Text("lblXFreqV"), "25");
  EXPECT_EQ(Text("lblYFReqV"), "25");
  EXPECT_EQ(Text("lblZFreqV"), "17");
  EXPECT_EQ(Text("lblXPhaseV"), "0");
  EXPECT_EQ(Text("lblXRotV"), "0");
  EXPECT_EQ(Text("lblYRotV"), "0");
  EXPECT_EQ(Text("lblRepPointsV"), "0");
  EXPECT_EQ(Text("lblRFreqV"), "50");
  EXPECT_EQ(Text("lblGFreqV"), "55");
  EXPECT_EQ(Text("lblBFreqV"), "60");
  EXPECT_EQ(Text("lblPPSV"), "15000");
  EXPECT_EQ(Text("lblPPFV"), "500");
  EXPECT_EQ(Text("lblFrameRateV"), "30");
  EXPECT_EQ(Text("lblTotalFramesV"), "");

  // Every bar agrees with its parameter.
  EXPECT_EQ(Bar("scrXFreq")->Value(), 125);
  EXPECT_EQ(Bar("scrZFreq")->Value(), 85);
  EXPECT_EQ(Bar("scrPointsPerSec")->Value(), 7500);
  EXPECT_EQ(Bar("scrPointsPerFrame")->Value(), 500);

  EXPECT_EQ(W().DacName(), "SoundCard");
  EXPECT_EQ(W().SelectedOpMode(), 2);
  EXPECT_TRUE(W().LimitVelocityChecked());
  EXPECT_FALSE(W().ShowDotsChecked());
  EXPECT_FALSE(W().IldaOutChecked());
  EXPECT_FALSE(W().Running());
  EXPECT_TRUE(Control<QPushButton>("cmdStart")->isEnabled());
  EXPECT_FALSE(Control<QPushButton>("cmdStop")->isEnabled());

  const auto* preview = Control<preview::PreviewSurface>("picPreview");
  EXPECT_EQ(W().PreviewWidth, preview->InnerWidth());
  EXPECT_EQ(W().PreviewHeight, preview->InnerHeight());
  EXPECT_EQ(preview->width(), 249);
  EXPECT_EQ(W().PreviewWidth, 245);
}

TEST_F(Window, FixedSizeWithTheClientAreaBelowTheMenuBar) {
  const QWidget* client = W().centralWidget();
  EXPECT_EQ(client->size(), QSize(693, 599));
  EXPECT_EQ(client->y(), W().menuBar()->geometry().bottom() + 1);
  EXPECT_EQ(W().size(), QSize(693, 599 + client->y()));
  EXPECT_EQ(W().minimumSize(), W().maximumSize());

  const QList<QAction*> menu = W().menuBar()->actions();
  // About keeps the first place; what came later follows it.
  ASSERT_GE(menu.size(), 1);
  EXPECT_EQ(menu.front()->text(), "About");
  EXPECT_EQ(menu.front()->menu(), nullptr);
  EXPECT_TRUE(W().windowIcon().availableSizes().contains(QSize(48, 48)));
}

TEST_F(Window, ThumbAtTheTopGivesMinAndAtTheBottomMax) {
  struct Case {
    const char* bar;
    int atStart;  // top, or left for the horizontal bar
    int atEnd;
  };
  for (const Case& c : {Case{"scrXFreq", 1000, 0}, Case{"scrPointsPerSec", 24000, 2500},
                        Case{"scrXRot", 90, -90}, Case{"scrXPhase", -90, 90}}) {
    SCOPED_TRACE(c.bar);
    PanelScrollBar* bar = Bar(c.bar);
    DragThumb(bar, {BeyondStart(bar)});
    EXPECT_EQ(bar->Value(), c.atStart);
    DragThumb(bar, {BeyondEnd(bar)});
    EXPECT_EQ(bar->Value(), c.atEnd);
  }
  EXPECT_EQ(W().Params.XFreq, 0.0);
  EXPECT_EQ(Text("lblXFreqV"), "0");
  EXPECT_EQ(W().Params.PointsPerSec, 5000);
  EXPECT_EQ(W().Params.XRot, -engine::Pi / 2);
  EXPECT_EQ(W().Params.XPhase, engine::Pi / 2);
}

TEST_F(Window, ArrowsAndTroughStepByExactlyOne) {
  PanelScrollBar* gain = Bar("scrXGain");  // 25, in the middle third of a 100..0 bar
  QSignalSpy changes(gain, &PanelScrollBar::Change);

  Click(gain, QStyle::SC_ScrollBarSubLine);  // the top arrow raises the value
  EXPECT_EQ(gain->Value(), 26);
  Click(gain, QStyle::SC_ScrollBarAddLine);
  EXPECT_EQ(gain->Value(), 25);
  Click(gain, QStyle::SC_ScrollBarAddPage);  // trough below the thumb
  EXPECT_EQ(gain->Value(), 24);
  Click(gain, QStyle::SC_ScrollBarSubPage);  // trough above the thumb
  EXPECT_EQ(gain->Value(), 25);
  ASSERT_EQ(changes.count(), 4);
  EXPECT_EQ(changes.at(0).at(0).toInt(), 26);
  EXPECT_EQ(changes.at(2).at(0).toInt(), 24);
  EXPECT_EQ(W().Params.XGain, 512);

  PanelScrollBar* phase = Bar("scrXPhase");
  Click(phase, QStyle::SC_ScrollBarAddLine);  // the right arrow
  EXPECT_EQ(phase->Value(), 1);
  EXPECT_EQ(Text("lblXPhaseV"), "1");
  Click(phase, QStyle::SC_ScrollBarSubPage);  // trough left of the thumb
  Click(phase, QStyle::SC_ScrollBarSubPage);
  EXPECT_EQ(phase->Value(), -1);

  // Keys step the same way: Up raises a vertical bar.
  PanelScrollBar* rep = Bar("scrRepPoints");
  rep->setFocus();
  QTest::keyClick(rep, Qt::Key_Up);
  EXPECT_EQ(rep->Value(), 1);
  EXPECT_EQ(W().Params.RepPoints, 2);
}

TEST_F(Window, DragRaisesScrollWithTheThumbsPlaceAndOneChangeOnRelease) {
  PanelScrollBar* bar = Bar("scrYFreq");
  QSignalSpy changes(bar, &PanelScrollBar::Change);
  QSignalSpy scrolls(bar, &PanelScrollBar::Scroll);
  const QPoint start = PartOf(bar, QStyle::SC_ScrollBarSlider).center();

  QTest::mousePress(bar, Qt::LeftButton, {}, start);
  QTest::mouseMove(bar, start + QPoint(0, -20));
  QTest::mouseMove(bar, BeyondStart(bar));
  ASSERT_EQ(scrolls.count(), 2);
  EXPECT_GT(scrolls.at(0).at(0).toInt(), 125);
  EXPECT_EQ(scrolls.at(1).at(0).toInt(), 1000);
  EXPECT_EQ(changes.count(), 0);
  // The Scroll handler has already stored the thumb's place.
  EXPECT_EQ(W().Params.YFreq, 200.0);
  EXPECT_EQ(Text("lblYFReqV"), "200");

  QTest::mouseRelease(bar, Qt::LeftButton, {}, BeyondStart(bar));
  ASSERT_EQ(changes.count(), 1);
  EXPECT_EQ(changes.at(0).at(0).toInt(), 1000);
  EXPECT_EQ(scrolls.count(), 2);

  // Away and back to where it started: Scroll events, but no Change.
  changes.clear();
  scrolls.clear();
  const QPoint top = PartOf(bar, QStyle::SC_ScrollBarSlider).center();
  DragThumb(bar, {top + QPoint(0, 40), top});
  EXPECT_EQ(scrolls.count(), 2);
  EXPECT_EQ(changes.count(), 0);
  EXPECT_EQ(bar->Value(), 1000);
  EXPECT_EQ(W().Params.YFreq, 200.0);
}

TEST_F(Window, SettingTheValueABarAlreadyHasRaisesNothing) {
  PanelScrollBar* bar = Bar("scrXGain");
  QSignalSpy changes(bar, &PanelScrollBar::Change);
  QSignalSpy scrolls(bar, &PanelScrollBar::Scroll);
  auto* label = Control<QLabel>("lblXGainV");
  label->setText("untouched");

  bar->SetValue(25);
  EXPECT_EQ(changes.count(), 0);
  EXPECT_EQ(scrolls.count(), 0);
  EXPECT_EQ(label->text(), "untouched");

  bar->SetValue(26);
  EXPECT_EQ(changes.count(), 1);
  EXPECT_EQ(scrolls.count(), 0);
  EXPECT_EQ(label->text(), "26");
}

TEST_F(Window, MappingsAtTheEndsOfTheBars) {
  Bar("scrXGain")->SetValue(50);
  EXPECT_EQ(W().Params.XGain, 1024);  // 1023.5 goes to the even neighbour
  EXPECT_EQ(Text("lblXGainV"), "50");
  Bar("scrYGain")->SetValue(100);
  EXPECT_EQ(W().Params.YGain, 2047);

  Bar("scrXPhase")->SetValue(-90);
  EXPECT_EQ(W().Params.XPhase, -engine::Pi / 2);
  EXPECT_EQ(Text("lblXPhaseV"), "-90");

  Bar("scrRepPoints")->SetValue(30);
  EXPECT_EQ(W().Params.RepPoints, 31);
  EXPECT_EQ(Text("lblRepPointsV"), "30");

  Bar("scrPointsPerSec")->SetValue(2500);
  Bar("scrPointsPerFrame")->SetValue(16000);
  EXPECT_EQ(W().Params.PointsPerSec, 5000);
  EXPECT_EQ(Text("lblPPSV"), "5000");
  EXPECT_EQ(Text("lblPPFV"), "16000");
  EXPECT_EQ(Text("lblFrameRateV"), "0.3125");

  Bar("scrPointsPerSec")->SetValue(24000);
  Bar("scrPointsPerFrame")->SetValue(500);
  EXPECT_EQ(Text("lblPPSV"), "48000");
  EXPECT_EQ(Text("lblFrameRateV"), "96");

  // The frame rate is a quotient of doubles, never an integer division.
  Bar("scrPointsPerSec")->SetValue(7500);
  Bar("scrPointsPerFrame")->SetValue(501);
  EXPECT_EQ(Text("lblFrameRateV"), "29.940119760479");  // ...4790 with its last 0 dropped

  Bar("scrBFreq")->SetValue(1000);
  EXPECT_EQ(W().Params.BFreq, 1000);
  EXPECT_EQ(Text("lblBFreqV"), "1000");

  // Only the moved bar's parameter changes.
  EXPECT_EQ(W().Params.XFreq, 25.0);
  EXPECT_EQ(W().Params.GFreq, 55);
}

TEST_F(Window, ScrollWhileStoppedSetsTheParameterAndBuildsNoFrame) {
  DragTo(Bar("scrXFreq"), 123);
  EXPECT_EQ(W().Params.XFreq, 24.6);
  EXPECT_EQ(Text("lblXFreqV"), "24.6");

  DragThumb(Bar("scrZFreq"), {BeyondStart(Bar("scrZFreq"))});
  EXPECT_EQ(W().Params.ZFreq, 200.0);

  EXPECT_FALSE(W().Running());
  EXPECT_TRUE(W().Frame.FrameBuffer.empty());
  EXPECT_EQ(W().TotalFrames(), 0);
  EXPECT_EQ(W().Generator.XAngle, 0.0);
  const QImage& image = Control<preview::PreviewSurface>("picPreview")->Image();
  EXPECT_EQ(image.pixel(image.width() / 2, image.height() / 2), qRgb(0, 0, 0));
}

// Makes German the default locale for one test.
class GermanLocale {
 public:
  GermanLocale() { QLocale::setDefault(QLocale(QLocale::German)); }
  ~GermanLocale() { QLocale::setDefault(previous_); }

 private:
  QLocale previous_;
};

TEST(WindowInGerman, DecimalLabelsUseTheCommaAndNoGrouping) {
  GermanLocale german;
  ProgramWindow windowProgram = MakeProgram();
  FrmWhorlgen& window = *windowProgram;
  auto text = [&](const char* name) { return window.findChild<QLabel*>(name)->text(); };
  EXPECT_EQ(text("lblPPSV"), "15000");
  DragTo(window.findChild<PanelScrollBar*>("scrXFreq"), 123);
  EXPECT_EQ(text("lblXFreqV"), "24,6");
  window.findChild<PanelScrollBar*>("scrPointsPerFrame")->SetValue(501);
  EXPECT_EQ(text("lblFrameRateV"), "29,940119760479");
}

TEST_F(Window, TabMovesFocusInAscendingTabIndex) {
  QApplication::setActiveWindow(&W());
  ASSERT_TRUE(QTest::qWaitForWindowActive(&W()));
  const QStringList expected = {
      "scrPointsPerSec", "scrPointsPerFrame", "scrXGain",         "scrYGain",   "scrXFreq",
      "scrYFreq",        "scrRFreq",          "scrGFreq",         "scrBFreq",   "cmdStart",
      "scrRepPoints",    "scrZFreq",          "scrXRot",          "scrYRot",    "scrXPhase",
      "picPreview",      "chkShowDots",       "chkLimitVelocity", "chkILDAout", "lstDACSelect",
      "lstOpMode",       "scrPointsPerSec"};
  QStringList visited;
  for (int i = 0; i < expected.size(); ++i) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    visited << focus->objectName();
    QTest::keyClick(focus, Qt::Key_Tab);
  }
  EXPECT_EQ(visited, expected);

  // "Stop" joins the order between the rotations and the phase once enabled.
  Control<QPushButton>("cmdStop")->setEnabled(true);
  Bar("scrYRot")->setFocus();
  QTest::keyClick(Bar("scrYRot"), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget()->objectName(), "cmdStop");
}

TEST_F(Window, ListsRunTheirSelectionAndKeepOneItemSelected) {
  auto* dacs = Control<QListWidget>("lstDACSelect");
  dacs->setCurrentRow(2);  // by code
  EXPECT_EQ(W().DacName(), "RIYA");

  const QRect ezLase = dacs->visualItemRect(dacs->item(1));
  QTest::mouseClick(dacs->viewport(), Qt::LeftButton, {}, ezLase.center());
  EXPECT_EQ(W().DacName(), "EZLase");
  // Ctrl+click on the selected item would clear a plain list's selection.
  QTest::mouseClick(dacs->viewport(), Qt::LeftButton, Qt::ControlModifier, ezLase.center());
  EXPECT_EQ(dacs->selectedItems().size(), 1);
  EXPECT_EQ(W().DacName(), "EZLase");

  auto* modes = Control<QListWidget>("lstOpMode");
  const QRect six = modes->visualItemRect(modes->item(5));
  EXPECT_TRUE(modes->viewport()->rect().contains(six));  // all six rows show
  QTest::mouseClick(modes->viewport(), Qt::LeftButton, {}, six.center());
  EXPECT_EQ(W().SelectedOpMode(), 6);
  EXPECT_TRUE(dacs->viewport()->rect().contains(dacs->visualItemRect(dacs->item(2))));
}

TEST_F(Window, AboutShowsOneLineWithOkOnlyAndReturnsAtOnce) {
  // The trigger returns while the box is open: it has no loop of its own.
  W().findChild<QAction*>("mnuAbout")->trigger();
  auto* box = W().findChild<QMessageBox*>();
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->isVisible());
  EXPECT_EQ(box->windowTitle(), "Whorlgen");
  EXPECT_EQ(box->text(),
            "Whorlgen by the Whorlgen developers 06 DEC 10 / "
            "maintainers@users.noreply.c-seed-bc6dbedd.example");
  EXPECT_EQ(box->informativeText(), "Version " WHORLGEN_PROJECT_VERSION);
  EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
  EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
  box->accept();
}

TEST_F(Window, AboutStaysTheFirstMenuItemAndCtrlDOpensTheDevicesWindowEscapeClosesIt) {
  EXPECT_EQ(W().menuBar()->actions().front()->text(), "About");
  ASSERT_FALSE(W().Devices()->isVisible());
  QTest::keyClick(&W(), Qt::Key_D, Qt::ControlModifier);
  EXPECT_TRUE(W().Devices()->isVisible());
  QTest::keyClick(W().Devices(), Qt::Key_Escape);
  EXPECT_FALSE(W().Devices()->isVisible());
}

TEST_F(Window, MiddleClickInTheTroughStepsByOneLikeTheOtherClicks) {
  PanelScrollBar* gain = Bar("scrXGain");
  QSignalSpy changes(gain, &PanelScrollBar::Change);
  QTest::mouseClick(gain, Qt::MiddleButton, {}, PartOf(gain, QStyle::SC_ScrollBarAddPage).center());
  EXPECT_EQ(gain->Value(), 24);
  EXPECT_EQ(changes.count(), 1);
}

TEST_F(Window, OnTheHorizontalBarRightRaisesAndLeftLowers) {
  PanelScrollBar* phase = Bar("scrXPhase");
  phase->setFocus();
  QTest::keyClick(phase, Qt::Key_Right);
  QTest::keyClick(phase, Qt::Key_Right);
  EXPECT_EQ(phase->Value(), 2);
  for (int i = 0; i < 3; ++i)
    QTest::keyClick(phase, Qt::Key_Left);
  EXPECT_EQ(phase->Value(), -1);
  EXPECT_EQ(Text("lblXPhaseV"), "-1");
  // The other keys keep their meaning on this bar.
  QTest::keyClick(phase, Qt::Key_Up);
  EXPECT_EQ(phase->Value(), -2);
  QTest::keyClick(phase, Qt::Key_Home);
  EXPECT_EQ(phase->Value(), -90);
}

}  // namespace
}  // namespace whorlgen::ui
