// Whole runs through the real window, headless: Start, Stop, drags, the
// About box and closing, as an operator would do them.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "preview/preview_surface.h"
#include "tests/file_size_limit.h"
#include "tests/ilda_test_reader.h"
#include "tests/temp_dir.h"
#include "tests/ui_qstring_printer.h"
#include "tests/ui_test_support.h"
#include "ui/frm_whorlgen.h"
#include "ui/quit_signals.h"

#include <sys/resource.h>

#include <unistd.h>

namespace whorlgen::ui {
namespace {

namespace fs = std::filesystem;

// Steps that run one after another from the event handling between frames,
// each repeated until it returns true.
class Script {
 public:
  explicit Script(std::vector<std::function<bool()>> steps) : steps_(std::move(steps)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    timer_.start(0);
  }
  bool Finished() const { return next_ == steps_.size(); }

 private:
  void Tick() {
    if (busy_ || Finished())
      return;  // a step's own nested frames must not run the next one
    busy_ = true;
    if (steps_[next_]())
      ++next_;
    busy_ = false;
  }

  std::vector<std::function<bool()>> steps_;
  std::size_t next_ = 0;
  bool busy_ = false;
  QTimer timer_;
};

class WindowRun : public ::testing::Test {
 protected:
  void SetUp() override { Open(MakeProgram()); }
  void TearDown() override {
    window_.reset();
    // Objects whose deletion was deferred inside a nested event loop (a
    // single-shot timer that fired in the About box) go now.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  void Open(ProgramWindow window) {
    window_ = std::move(window);
    window_->Loop.IldaDirectory = dir_.string();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    // A run that a broken test never stops ends when the window closes.
    watchdog_ = std::make_unique<QTimer>();
    watchdog_->setSingleShot(true);
    QObject::connect(watchdog_.get(), &QTimer::timeout, [this] {
      ADD_FAILURE() << "watchdog: the run did not end";
      window_->close();
    });
    watchdog_->start(30000);
  }

  // Clicks Start from inside the program's event loop, as an operator would,
  // and returns the loop's exit code once something ends it.
  int RunStartedFromTheEventLoop() {
    QTimer::singleShot(0, window_.get(), [this] { ClickStart(); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
      ADD_FAILURE() << "the program did not end";
      QCoreApplication::exit(1);
    });
    guard.start(60000);
    return QCoreApplication::exec();
  }

  // Frames unpaced by any device, so the tests run as fast as frames are made.
  void WithoutDevice() { window_->Loop.DacName = "no device"; }

  FrmWhorlgen& W() { return *window_; }
  template <typename T>
  T* Control(const char* name) {
    return window_->findChild<T*>(name);
  }
  QPushButton* Button(const char* name) { return Control<QPushButton>(name); }
  QString Text(const char* name) { return Control<QLabel>(name)->text(); }
  void ClickStart() { QTest::mouseClick(Button("cmdStart"), Qt::LeftButton); }
  // Clicks Start and handles events until the run has ended and the script,
  // if any, has finished.
  void StartAndWaitForTheEnd(const Script* script = nullptr) {
    ClickStart();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !W().Loop.InRun() && (script == nullptr || script->Finished()); }, 30000));
  }
  void ClickStop() { QTest::mouseClick(Button("cmdStop"), Qt::LeftButton); }
  // A first step: the click on Start may let events through before the run begins.
  std::function<bool()> UntilRunning() {
    return [this] { return W().Running(); };
  }
  bool ControlsIdle() {
    return Button("cmdStart")->isEnabled() && !Button("cmdStop")->isEnabled() &&
           Control<QListWidget>("lstDACSelect")->isEnabled() &&
           Control<QCheckBox>("chkILDAout")->isEnabled();
  }

  whorlgen::testing::TempDir temp_;
  const fs::path dir_ = temp_.Path();
  ProgramWindow window_;
  std::unique_ptr<QTimer> watchdog_;
};

TEST_F(WindowRun, StartThenStopOnTheEmulatedCardShowsTheCountAndThePicture) {
  Control<QListWidget>("lstDACSelect")->setCurrentRow(1);  // "EZLase", played in real time
  ASSERT_EQ(W().DacName(), "EZLase");
  Script script({UntilRunning(), [&] {
                   ClickStop();
                   return true;
                 }});
  StartAndWaitForTheEnd(&script);
  EXPECT_GE(W().TotalFrames(), 1);
  EXPECT_EQ(Text("lblTotalFramesV"), QString::number(W().TotalFrames()));
  EXPECT_TRUE(ControlsIdle());
  // The last frame stays in the picture box.
  const QImage& picture = Control<preview::PreviewSurface>("picPreview")->Image();
  int lit = 0;
  for (int y = 0; y < picture.height(); ++y) {
    for (int x = 0; x < picture.width(); ++x)
      lit += (picture.pixel(x, y) & 0xFFFFFF) != 0;
  }
  EXPECT_GT(lit, 50);
}

TEST_F(WindowRun, ControlStatesThroughARun) {
  WithoutDevice();
  bool sawRunning = false;
  bool sawEnding = false;
  Script script({UntilRunning(),
                 [&] {
                   sawRunning = !Button("cmdStart")->isEnabled() &&
                                Button("cmdStop")->isEnabled() &&
                                !Control<QListWidget>("lstDACSelect")->isEnabled() &&
                                !Control<QCheckBox>("chkILDAout")->isEnabled() &&
                                Text("lblTotalFramesV").isEmpty();
                   return true;
                 },
                 [&] {
                   ClickStop();
                   // Stop gives Start back at once; the list and the box wait for the end steps.
                   sawEnding = Button("cmdStart")->isEnabled() && !Button("cmdStop")->isEnabled() &&
                               !Control<QListWidget>("lstDACSelect")->isEnabled() &&
                               !Control<QCheckBox>("chkILDAout")->isEnabled();
                   return true;
                 }});
  StartAndWaitForTheEnd(&script);
  EXPECT_TRUE(sawRunning);
  EXPECT_TRUE(sawEnding);
  EXPECT_TRUE(ControlsIdle());
  EXPECT_EQ(Text("lblTotalFramesV"), QString::number(W().TotalFrames()));
}

TEST_F(WindowRun, ADragDuringARecordedRunAddsOneRecordedFramePerScroll) {
  WithoutDevice();
  Control<QCheckBox>("chkILDAout")->setChecked(true);
  auto* bar = Control<PanelScrollBar>("scrPointsPerFrame");
  QSignalSpy scrolls(bar, &PanelScrollBar::Scroll);
  QSignalSpy changes(bar, &PanelScrollBar::Change);
  int framesBefore = 0;
  Script script({[&] { return W().TotalFrames() >= 2; },
                 [&] {
                   // Upwards in small steps: each move raises the frame size.
                   const QPoint thumb = PartOf(bar, QStyle::SC_ScrollBarSlider).center();
                   std::vector<QPoint> path;
                   for (int i = 1; i <= 6; ++i)
                     path.push_back(thumb - QPoint(0, 3 * i));
                   framesBefore = W().TotalFrames();
                   DragThumb(bar, path);
                   return true;
                 },
                 [&] { return W().TotalFrames() >= framesBefore + 8; },
                 [&] {
                   ClickStop();
                   return true;
                 }});
  StartAndWaitForTheEnd(&script);
  ASSERT_EQ(scrolls.count(), 6);
  EXPECT_EQ(changes.count(), 1);  // the release, which builds no frame

  const auto sections = IldaSections(dir_ / "WG01.ild");
  ASSERT_EQ(static_cast<int>(sections.size()), W().TotalFrames() + 1);
  for (int i = 0; i < W().TotalFrames(); ++i)
    EXPECT_EQ(sections[i].frameNumber, i);
  EXPECT_EQ(sections[0].total, W().TotalFrames());
  // The dragged frames come next (after the one the device may have had when
  // the drag began), in the order of the Scroll events, each with its own size.
  int first = framesBefore;
  if (sections[first].records != scrolls[0][0].toInt())
    ++first;
  for (int k = 0; k < scrolls.count(); ++k) {
    EXPECT_EQ(sections[first + k].records, scrolls[k][0].toInt()) << k;
  }
}

TEST_F(WindowRun, ASecondRunStartsFromPhaseZeroAndTheOldBeamPosition) {
  WithoutDevice();
  Script first({[&] { return W().TotalFrames() >= 3; },
                [&] {
                  ClickStop();
                  return true;
                }});
  StartAndWaitForTheEnd(&first);
  ASSERT_GE(W().TotalFrames(), 3);

  engine::GeneratorState expected = W().Generator;
  expected.ResetPhases();
  engine::FrameData oneFrame;
  engine::BuildFrame(W().Params, expected, 2, true, oneFrame);

  ClickStart();
  ClickStop();  // at once: the run still makes its one frame
  EXPECT_TRUE(QTest::qWaitFor([&] { return !W().Loop.InRun(); }, 30000));
  EXPECT_EQ(W().TotalFrames(), 1);
  EXPECT_EQ(Text("lblTotalFramesV"), "1");
  EXPECT_EQ(W().Generator.XAngle, expected.XAngle);
  EXPECT_EQ(W().Generator.LastX, expected.LastX);
  EXPECT_EQ(W().Generator.LastY, expected.LastY);
}

TEST_F(WindowRun, TheAboutBoxLeavesTheRunGoingAndClosingTheWindowClosesIt) {
  WithoutDevice();
  Control<QCheckBox>("chkILDAout")->setChecked(true);
  int framesWhenOpened = -1;
  QPointer<QMessageBox> about;
  Script script({[&] { return W().TotalFrames() >= 3; },
                 [&] {
                   framesWhenOpened = W().TotalFrames();
                   W().findChild<QAction*>("mnuAbout")->trigger();
                   about = W().findChild<QMessageBox*>();
                   return true;
                 },
                 [&] {
                   if (W().TotalFrames() < framesWhenOpened + 3)
                     return false;  // frames go on while the box is open
                   W().close();
                   return true;
                 }});
  StartAndWaitForTheEnd(&script);
  EXPECT_TRUE(about.isNull() || !about->isVisible());
  const auto sections = IldaSections(dir_ / "WG01.ild");
  ASSERT_EQ(static_cast<int>(sections.size()), W().TotalFrames() + 1);
  EXPECT_EQ(sections[0].total, W().TotalFrames());
  EXPECT_EQ(sections.back().format, 0);
}

// A dialog's own event loop (a file dialog, as Presets > Save opens) does
// not hold the show: the card keeps getting frames at its pace meanwhile.
TEST_F(WindowRun, FramesGoOnWhileAModalDialogIsOpen) {
  Control<QListWidget>("lstDACSelect")->setCurrentRow(1);  // "EZLase", played in real time
  int framesDuringDialog = -1;
  Script script({[&] { return W().TotalFrames() >= 2; },
                 [&] {
                   QFileDialog dialog(window_.get(), "Save preset");
                   QTimer::singleShot(1000, &dialog, &QDialog::reject);
                   const int before = W().TotalFrames();
                   dialog.exec();
                   framesDuringDialog = W().TotalFrames() - before;
                   return true;
                 },
                 [&] {
                   ClickStop();
                   return true;
                 }});
  StartAndWaitForTheEnd(&script);
  // 30 frames a second play in that second; a held show makes none.
  EXPECT_GE(framesDuringDialog, 15);
}

// Closing the window, or a signal to end, during a run whose end has
// something to say: the file is finished, and the program's loop ends.
TEST_F(WindowRun, ClosingDuringARunThatEndsWithAMessageEndsTheProgram) {
  WithoutDevice();
  Control<QCheckBox>("chkILDAout")->setChecked(true);
  FileSizeLimit limit(40000);  // about ten frames, then the recording fails
  QString message;
  Script script({[&] { return W().TotalFrames() >= 20; },
                 [&] {
                   W().close();
                   return true;
                 },
                 [&] {
                   auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                   if (box == nullptr)
                     return false;
                   message = box->text();
                   box->accept();
                   return true;
                 }});
  EXPECT_EQ(RunStartedFromTheEventLoop(), 0);
  EXPECT_TRUE(script.Finished());
  EXPECT_TRUE(message.contains("incomplete")) << message.toStdString();
  EXPECT_EQ(IldaSections(dir_ / "WG01.ild").back().format, 0);
}

TEST_F(WindowRun, ASignalToEndDuringARecordedRunFinishesTheFileAndEndsTheProgram) {
  WithoutDevice();
  Control<QCheckBox>("chkILDAout")->setChecked(true);
  const QuitSignals quitSignals([this](int signalNumber) { W().EndOnSignal(signalNumber); });
  Script script({[&] { return W().TotalFrames() >= 3; },
                 [&] {
                   std::raise(SIGTERM);
                   return true;
                 }});
  EXPECT_EQ(RunStartedFromTheEventLoop(), 0);
  EXPECT_FALSE(W().isVisible());
  const auto sections = IldaSections(dir_ / "WG01.ild");
  ASSERT_EQ(static_cast<int>(sections.size()), W().TotalFrames() + 1);
  EXPECT_EQ(sections[0].total, W().TotalFrames());
  EXPECT_EQ(sections.back().format, 0);
}

TEST(FileSizeSignal, ALimitFailsTheWriteInsteadOfEndingTheProgram) {
  IgnoreFileSizeSignal();
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit none = saved;
  none.rlim_cur = 0;
  setrlimit(RLIMIT_FSIZE, &none);
  const ssize_t written = write(fileno(file), "x", 1);
  const int error = errno;
  setrlimit(RLIMIT_FSIZE, &saved);
  std::fclose(file);
  EXPECT_EQ(written, -1);
  EXPECT_EQ(error, EFBIG);
}

TEST_F(WindowRun, StartRightAfterStopWaitsForTheEndSteps) {
  WithoutDevice();
  Control<QCheckBox>("chkILDAout")->setChecked(true);
  bool secondBeganInsideFirst = true;
  bool firstCompleteWhenSecondRan = false;
  Script script({[&] { return W().TotalFrames() >= 2; },
                 [&] {
                   ClickStop();
                   ClickStart();
                   secondBeganInsideFirst = fs::exists(dir_ / "WG02.ild");
                   return true;
                 },
                 [&] {
                   if (!W().Running())
                     return false;  // the second run begins once the first has ended
                   firstCompleteWhenSecondRan = fs::exists(dir_ / "WG02.ild") &&
                                                IldaSections(dir_ / "WG01.ild").back().format == 0;
                   ClickStop();
                   return true;
                 }});
  StartAndWaitForTheEnd(&script);
  EXPECT_FALSE(secondBeganInsideFirst);
  EXPECT_TRUE(firstCompleteWhenSecondRan);
  EXPECT_TRUE(ControlsIdle());
}

TEST_F(WindowRun, AMissingDeviceLibraryEndsTheRunWithAMessageAndUsableControls) {
  const fs::path noLibraries = dir_ / "no-libraries";
  fs::create_directories(noLibraries);
  Open(MakeProgram(noLibraries));
  Control<QListWidget>("lstDACSelect")->setCurrentRow(2);  // "RIYA"
  QString message;
  bool idleWhenTold = false;
  Script script({[&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr)
      return false;
    message = box->text();
    idleWhenTold = ControlsIdle();
    box->accept();
    return true;
  }});
  StartAndWaitForTheEnd(&script);
  EXPECT_TRUE(message.contains("libRiyaNetServer_stdcall.so")) << message.toStdString();
  EXPECT_TRUE(idleWhenTold);
  EXPECT_TRUE(ControlsIdle());
}

}  // namespace
}  // namespace whorlgen::ui
