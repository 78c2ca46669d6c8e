// MIDI, OSC and presets through the real window, headless: each value moves
// its bar as a hand would, and the show follows.
#include <gtest/gtest.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "control/panel_values.h"
#include "emulators/emulator_process.h"
#include "tests/qt_test_environment.h"
#include "tests/ui_qstring_printer.h"
#include "tests/ui_test_support.h"
#include "ui/control_page.h"
#include "ui/frm_whorlgen.h"
#include "ui/live_control.h"
#include "ui/settings_file.h"

namespace whorlgen::ui {
namespace {

class LiveWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
  }
  void TearDown() override {
    window_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    qunsetenv("XDG_CONFIG_HOME");
  }

  void Open() {
    window_ = MakeProgram();
    window_->Loop.DacName = "no device";  // unpaced frames
    window_->show();
    live_ = window_->findChild<LiveControl*>("liveControl");
    ASSERT_NE(live_, nullptr);
  }
  // Handles events until the condition holds; a watchdog, not a time limit.
  static bool Until(const std::function<bool()>& condition) {
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < 20000)
      QTest::qWait(5);
    return condition();
  }
  QString Text(const char* label) { return window_->findChild<QLabel*>(label)->text(); }
  // Opens (or glides to) a preset and waits until it has been carried out:
  // empty, or the problem.
  QString Open(const QString& file, double morph_s = -1.0) {
    QSignalSpy done(live_, &LiveControl::PresetDone);
    if (morph_s < 0)
      live_->OpenPreset(file);
    else
      live_->MorphTo(file, morph_s);
    // Not QSignalSpy::wait: its loop ends at once once a test has closed the last window.
    if (!Until([&] { return !done.isEmpty(); }))
      return "no answer";
    return done.front().at(1).toString();
  }
  PanelScrollBar* Bar(const char* name) { return window_->findChild<PanelScrollBar*>(name); }
  QString File(const char* name) { return config_.filePath(name); }

  QTemporaryDir config_;
  ProgramWindow window_;
  LiveControl* live_ = nullptr;
};

TEST_F(LiveWindow, OscFromTheSettingsFileDrivesTheShowIncludingStartAndStop) {
  const int port = emulators::FreeLoopbackPort(SOCK_DGRAM);
  {
    // As an operator writes it: the unquoted list reads as two entries.
    QDir().mkpath(config_.filePath("whorlgen"));
    QFile file(SettingsFilePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("[osc]\nenabled=true\nport=%1\nallow = 10.0.0.0/8, 127.0.0.1\n")
                   .arg(port)
                   .toUtf8());
  }
  Open();
  ASSERT_TRUE(live_->OscListening()) << live_->OscStatus().toStdString();
  EXPECT_EQ(live_->OscSenders(), "10.0.0.0/8, 127.0.0.1");
  lo_address to = lo_address_new("127.0.0.1", std::to_string(port).c_str());

  // The numbers the labels show, as the operator reads them.
  lo_send(to, "/whorlgen/x_freq", "f", 24.6f);
  lo_send(to, "/whorlgen/scrPointsPerSec", "i", 30000);
  lo_send(to, "/whorlgen/preset", "s", File("missing.json").toUtf8().constData());
  EXPECT_TRUE(Until([&] { return Text("lblXFreqV") == "24.6" && Text("lblPPSV") == "30000"; }));
  EXPECT_EQ(window_->Params.PointsPerSec, 30000);
  EXPECT_TRUE(Until([&] { return live_->Ignored() == 1; }));  // refused quietly, counted
  EXPECT_TRUE(live_->LastRemoteProblem().endsWith("missing.json not found"))
      << live_->LastRemoteProblem().toStdString();

  // Start runs the whole run from the event loop; the rest happens inside it.
  int step = 0;
  QTimer script;
  QObject::connect(&script, &QTimer::timeout, [&] {
    if (step == 0 && window_->TotalFrames() > 2) {
      lo_send(to, "/whorlgen/scrXGain", "f", 50.0f);
      lo_send(to, "/whorlgen/ilda", "i", 1);  // refused during a run, as the box is
      ++step;
    } else if (step == 1 && window_->Params.XGain == 1024) {
      EXPECT_FALSE(window_->Checked(FrmWhorlgen::Check::IldaOutput));
      lo_send(to, "/whorlgen/stop", "");
      ++step;
    }
  });
  script.start(1);
  lo_send(to, "/whorlgen/start", "");
  EXPECT_TRUE(Until([&] { return step == 2 && !window_->Running(); }));
  EXPECT_EQ(Text("lblXGainV"), "50");
  EXPECT_GT(window_->TotalFrames(), 2);
  lo_address_free(to);
}

TEST_F(LiveWindow, ValuesArrivingWithAStartAreSetBeforeItsRunBegins) {
  Open();
  live_->SetOsc(true, emulators::FreeLoopbackPort(SOCK_DGRAM));
  lo_address to = lo_address_new("127.0.0.1", std::to_string(live_->OscPort()).c_str());
  lo_send(to, "/whorlgen/start", "");
  lo_send(to, "/whorlgen/scrXGain", "i", 50);
  QTest::qSleep(200);  // both wait in the mailbox, to be carried out together
  int atFirstFrame = -1;
  QTimer script;
  QObject::connect(&script, &QTimer::timeout, [&] {
    if (window_->Running() && atFirstFrame < 0) {
      atFirstFrame = window_->BarPosition("scrXGain");
      window_->ClickStop();
    }
  });
  script.start(0);
  EXPECT_TRUE(Until([&] { return atFirstFrame >= 0 && !window_->Running(); }));
  EXPECT_EQ(atFirstFrame, 50);
  lo_address_free(to);
}

TEST_F(LiveWindow, AStopRightBehindAStartEndsTheRunForGood) {
  Open();
  live_->SetOsc(true, emulators::FreeLoopbackPort(SOCK_DGRAM));
  lo_address to = lo_address_new("127.0.0.1", std::to_string(live_->OscPort()).c_str());
  lo_send(to, "/whorlgen/start", "");
  EXPECT_TRUE(Until([&] { return window_->TotalFrames() > 2; }));
  lo_send(to, "/whorlgen/start", "");
  lo_send(to, "/whorlgen/stop", "");
  EXPECT_TRUE(Until([&] { return !window_->Loop.InRun(); }));
  QTest::qWait(300);  // a Start carried out after the Stop would have begun a run by now
  EXPECT_FALSE(window_->Loop.InRun());
  lo_address_free(to);
}

// A preset read on the reader thread still lands between the values sent
// before and after it, and a second preset waits for the first.
TEST_F(LiveWindow, PresetsFromOscApplyInOrderWithTheValuesSentAroundThem) {
  Open();
  window_->SetBarPosition("scrXGain", 10);
  ASSERT_EQ(live_->SavePreset(File("a.json")), "");
  window_->SetBarPosition("scrXGain", 20);
  ASSERT_EQ(live_->SavePreset(File("b.json")), "");
  window_->SetBarPosition("scrXGain", 0);
  live_->SetOsc(true, emulators::FreeLoopbackPort(SOCK_DGRAM));
  lo_address to = lo_address_new("127.0.0.1", std::to_string(live_->OscPort()).c_str());

  std::vector<int> gains;
  QObject::connect(Bar("scrXGain"), &PanelScrollBar::Change, [&](int v) { gains.push_back(v); });
  lo_send(to, "/whorlgen/x_gain", "i", 5);
  lo_send(to, "/whorlgen/preset", "s", File("a.json").toUtf8().constData());
  lo_send(to, "/whorlgen/preset", "s", File("b.json").toUtf8().constData());
  lo_send(to, "/whorlgen/x_gain", "i", 40);
  EXPECT_TRUE(Until([&] { return gains.size() >= 4; }));
  EXPECT_EQ(gains, (std::vector<int>{5, 10, 20, 40}));
  lo_address_free(to);
}

TEST_F(LiveWindow, AStartArrivingAfterTheWindowClosedBeginsNoRun) {
  Open();
  window_->close();
  QTimer stopper;  // ends a wrongly begun run
  stopper.setSingleShot(true);
  QObject::connect(&stopper, &QTimer::timeout, [&] { window_->ClickStop(); });
  stopper.start(200);
  window_->ClickStart();
  EXPECT_EQ(window_->TotalFrames(), 0);
}

TEST_F(LiveWindow, MidiLearnTakesABarAndAKnobAndIsKeptInTheSettingsFile) {
  Open();
  live_->BeginMidiLearn();
  Click(Bar("scrXFreq"), QStyle::SC_ScrollBarSubLine);  // the operator moves a bar
  live_->HandleMidi({control::MidiEvent::Kind::ControlChange, 0, 7, 40});  // turns a knob
  EXPECT_FALSE(live_->Midi().Learning());
  EXPECT_EQ(Text("lblXFreqV"), "25.2");  // learning moved nothing but the arrow's step

  live_->HandleMidi({control::MidiEvent::Kind::ControlChange, 0, 7, 127});
  EXPECT_EQ(Text("lblXFreqV"), "200");
  EXPECT_DOUBLE_EQ(window_->Params.XFreq, 200.0);
  EXPECT_EQ(OpenSettings()->value("midi/scrXFreq").toString(), "cc 1 7");
  auto* bindings = window_->findChild<QListWidget*>("lstMidiBindings");
  ASSERT_EQ(bindings->count(), 1);
  EXPECT_EQ(bindings->item(0)->text(), QString::fromUtf8("X Freq \u2190 CC 7, channel 1"));

  // The captions and ranges named at the edge are the panel's own.
  EXPECT_EQ(window_->BarRanges(), control::PanelBarRanges());

  // Without a sequencer nothing could answer a learn: the menu says so.
  auto* learn = window_->findChild<QAction*>("mnuLearnMidi");
  EXPECT_EQ(learn->isEnabled(), control::AlsaMidiInput::SequencerPresent());
  if (!control::AlsaMidiInput::SequencerPresent()) {
    EXPECT_TRUE(learn->toolTip().contains("/dev/snd/seq")) << learn->toolTip().toStdString();
  }

  // Tomorrow's start: the same knob, the same bar, the same start-up figure.
  Open();
  EXPECT_EQ(Text("lblXFreqV"), "25");
  live_->HandleMidi({control::MidiEvent::Kind::ControlChange, 0, 7, 0});
  EXPECT_EQ(Text("lblXFreqV"), "0");

  // A mode: clicked in the list, then a program change.
  live_->BeginMidiLearn();
  auto* modes = window_->findChild<QListWidget*>("lstOpMode");
  QTest::mouseClick(modes->viewport(), Qt::LeftButton, {},
                    modes->visualItemRect(modes->item(3)).center());
  live_->HandleMidi({control::MidiEvent::Kind::ProgramChange, 0, 9, 0});
  window_->SetOpMode(1);
  live_->HandleMidi({control::MidiEvent::Kind::ProgramChange, 0, 9, 0});
  EXPECT_EQ(window_->SelectedOpMode(), 4);
}

TEST_F(LiveWindow, APresetOpensThroughTheHandlersAndABadOneChangesNothing) {
  Open();
  ASSERT_EQ(live_->SavePreset(File("start.json")), "");
  window_->SetBarPosition("scrXGain", 80);
  window_->SetBarPosition("scrPointsPerFrame", 16000);
  window_->SetOpMode(5);
  window_->SetCheck(FrmWhorlgen::Check::LimitVelocity, false);

  ASSERT_EQ(Open(File("start.json")), "");
  EXPECT_TRUE(window_->Params == engine::StartupParameters());
  EXPECT_EQ(Text("lblXGainV"), "25");
  EXPECT_EQ(Text("lblFrameRateV"), "30");
  EXPECT_EQ(window_->SelectedOpMode(), 2);
  EXPECT_TRUE(window_->Checked(FrmWhorlgen::Check::LimitVelocity));
  EXPECT_EQ(live_->RecentPresets().front(), File("start.json"));

  QFile bad(File("bad.json"));
  ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
  bad.write(R"({"format":"whorlgen-preset","version":2,"controls":{"x_gain":5,"y_gain":"x"}})");
  bad.close();
  const QString problem = Open(File("bad.json"));
  EXPECT_TRUE(problem.contains("y_gain")) << problem.toStdString();
  EXPECT_EQ(Text("lblXGainV"), "25");  // the good key before the bad one was not taken
  EXPECT_EQ(Open(File("none.json")), "none.json: " + File("none.json") + " not found");

  // The recent presets name the file and show its folder.
  auto* presets = window_->findChild<QMenu*>("mnuPresets");
  emit presets->aboutToShow();
  const QList<QAction*> recent = window_->findChild<QMenu*>("mnuRecentPresets")->actions();
  ASSERT_FALSE(recent.isEmpty());
  EXPECT_EQ(recent.front()->text(), "start.json");
  EXPECT_EQ(recent.front()->toolTip(), config_.path());
}

TEST_F(LiveWindow, AMorphGlidesInStepsAndArrivesExactly) {
  Open();
  window_->SetBarPosition("scrXGain", 100);
  window_->SetBarPosition("scrXPhase", -90);
  window_->SetOpMode(6);
  ASSERT_EQ(live_->SavePreset(File("far.json")), "");
  window_->SetBarPosition("scrXGain", 0);
  window_->SetBarPosition("scrXPhase", 90);
  window_->SetOpMode(1);

  QSignalSpy steps(Bar("scrXGain"), &PanelScrollBar::Change);
  ASSERT_EQ(Open(File("far.json"), 0.3), "");
  EXPECT_EQ(window_->SelectedOpMode(), 1);  // the mode switches on arrival
  EXPECT_TRUE(Until([&] { return !live_->Morphing(); }));
  EXPECT_GT(steps.count(), 2);
  EXPECT_EQ(window_->BarPosition("scrXGain"), 100);
  EXPECT_EQ(window_->BarPosition("scrXPhase"), -90);
  EXPECT_EQ(Text("lblXPhaseV"), "-90");
  EXPECT_EQ(window_->SelectedOpMode(), 6);
}

// The preset keys open dialogs that leave the event loop (and a run) alone:
// a dialog run in a loop of its own would keep the key press from returning
// until the watchdog closed it.
TEST_F(LiveWindow, PresetKeysOpenDialogsAndBoxesThatHoldNothing) {
  Open();
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  bool watchdogFired = false;
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [&] {
    watchdogFired = true;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* dialog = qobject_cast<QDialog*>(w))
        dialog->reject();
  });
  watchdog.start(10000);

  QTest::keyClick(window_.get(), Qt::Key_S, Qt::ControlModifier);
  auto* save = window_->findChild<QFileDialog*>("dlgPresetSave");
  ASSERT_NE(save, nullptr);
  EXPECT_TRUE(save->isVisible());
  save->selectFile(File("saved"));
  static_cast<QDialog*>(save)->accept();  // as the dialog's own Save button
  QFile saved(File("saved.json"));
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  EXPECT_TRUE(saved.readAll().contains(R"("version": 2)"));

  // A preset whose control name runs to 20,000 lines.
  QFile bad(File("long.json"));
  ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
  bad.write(R"({"format":"whorlgen-preset","version":2,"controls":{")" +
            QByteArray("line\\n").repeated(20000) + R"(":1}})");
  bad.close();
  QTest::keyClick(window_.get(), Qt::Key_O, Qt::ControlModifier);
  auto* open = window_->findChild<QFileDialog*>("dlgPresetOpen");
  ASSERT_NE(open, nullptr);
  EXPECT_TRUE(open->isVisible());
  QSignalSpy done(live_, &LiveControl::PresetDone);
  open->selectFile(File("long.json"));
  static_cast<QDialog*>(open)->accept();
  ASSERT_TRUE(Until([&] { return !done.isEmpty(); }));
  auto* box = window_->findChild<QMessageBox*>("boxPresetProblem");
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->isVisible());
  EXPECT_FALSE(box->text().contains('\n'));
  EXPECT_LT(box->sizeHint().height(), 300);
  EXPECT_FALSE(watchdogFired);
  box->close();
}

TEST_F(LiveWindow, ALongRefusalStaysOnOneLineAndLeavesTheBindingsListItsRoom) {
  Open();
  live_->SetOsc(true, emulators::FreeLoopbackPort(SOCK_DGRAM));
  ControlPage page(*live_);
  page.resize(420, 520);
  page.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
  auto* bindings = page.findChild<QListWidget*>("lstMidiBindings");
  const int roomBefore = bindings->height();

  QString path = config_.path();
  for (int i = 0; i < 60; ++i)
    path += "/a folder of many words";
  lo_address to = lo_address_new("127.0.0.1", std::to_string(live_->OscPort()).c_str());
  lo_send(to, "/whorlgen/preset", "s", path.toUtf8().constData());
  lo_address_free(to);
  EXPECT_TRUE(Until([&] { return live_->Ignored() == 1; }));
  QTest::qWait(50);  // the page's layout settles
  EXPECT_EQ(bindings->height(), roomBefore);
  EXPECT_TRUE(page.findChild<QLabel*>("lblOscIgnored")->toolTip().contains("not found"))
      << live_->LastRemoteProblem().toStdString();
}

}  // namespace
}  // namespace whorlgen::ui
