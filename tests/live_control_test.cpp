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
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "emulators/emulator_process.h"
#include "tests/qt_test_environment.h"
#include "tests/ui_qstring_printer.h"
#include "tests/ui_test_support.h"
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
    window_ = std::make_unique<FrmWhorlgen>();
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
  PanelScrollBar* Bar(const char* name) { return window_->findChild<PanelScrollBar*>(name); }
  QString File(const char* name) { return config_.filePath(name); }

  QTemporaryDir config_;
  std::unique_ptr<FrmWhorlgen> window_;
  LiveControl* live_ = nullptr;
};

TEST_F(LiveWindow, OscFromTheSettingsFileDrivesTheShowIncludingStartAndStop) {
  const int port = emulators::FreeLoopbackPort(SOCK_DGRAM);
  {
    const auto settings = OpenSettings();
    settings->setValue("osc/enabled", true);
    settings->setValue("osc/port", port);
  }
  Open();
  ASSERT_TRUE(live_->OscListening()) << live_->OscStatus().toStdString();
  lo_address to = lo_address_new("127.0.0.1", std::to_string(port).c_str());

  lo_send(to, "/whorlgen/scrXFreq", "i", 123);
  lo_send(to, "/whorlgen/preset", "s", File("missing.json").toUtf8().constData());
  EXPECT_TRUE(Until([&] { return Text("lblXFreqV") == "24.6"; }));
  EXPECT_DOUBLE_EQ(window_->Params.XFreq, 24.6);
  EXPECT_TRUE(Until([&] { return live_->Ignored() == 1; }));  // refused quietly, counted
  EXPECT_TRUE(Text("lblOscIgnored").startsWith("1 (last: missing.json: "))
      << Text("lblOscIgnored").toStdString();

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

  ASSERT_EQ(live_->OpenPreset(File("start.json")), "");
  EXPECT_TRUE(window_->Params == engine::StartupParameters());
  EXPECT_EQ(Text("lblXGainV"), "25");
  EXPECT_EQ(Text("lblFrameRateV"), "30");
  EXPECT_EQ(window_->SelectedOpMode(), 2);
  EXPECT_TRUE(window_->Checked(FrmWhorlgen::Check::LimitVelocity));
  EXPECT_EQ(live_->RecentPresets().front(), File("start.json"));

  QFile bad(File("bad.json"));
  ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
  bad.write(R"({"format":"whorlgen-preset","version":1,"controls":{"scrXGain":5,"scrYGain":"x"}})");
  bad.close();
  const QString problem = live_->OpenPreset(File("bad.json"));
  EXPECT_TRUE(problem.contains("scrYGain")) << problem.toStdString();
  EXPECT_EQ(Text("lblXGainV"), "25");  // the good key before the bad one was not taken
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
  ASSERT_EQ(live_->MorphTo(File("far.json"), 0.3), "");
  EXPECT_EQ(window_->SelectedOpMode(), 1);  // the mode switches on arrival
  EXPECT_TRUE(Until([&] { return !live_->Morphing(); }));
  EXPECT_GT(steps.count(), 2);
  EXPECT_EQ(window_->BarPosition("scrXGain"), 100);
  EXPECT_EQ(window_->BarPosition("scrXPhase"), -90);
  EXPECT_EQ(Text("lblXPhaseV"), "-90");
  EXPECT_EQ(window_->SelectedOpMode(), 6);
}

}  // namespace
}  // namespace whorlgen::ui
