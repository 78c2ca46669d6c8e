// The matrix through the real window, headless: presets and OSC set it, it
// moves the bars as a hand would during a run, and it leaves no trace when it
// does nothing.
#include <gtest/gtest.h>
#include <lo/lo.h>
#include <sys/socket.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <functional>
#include <memory>

#include "emulators/emulator_process.h"
#include "tests/ilda_test_reader.h"
#include "tests/qt_test_environment.h"
#include "tests/ui_test_support.h"
#include "ui/devices_window.h"
#include "ui/frm_whorlgen.h"
#include "ui/live_control.h"
#include "ui/music_modulation.h"

namespace whorlgen::ui {
namespace {

// A square LFO at 0 Hz stands at +1: X Gain rests at 25 and is held at 55.
constexpr char kHeldUp[] =
    R"({"lfos": [{"shape": "square", "hz": 0}],
        "rows": [{"source": "lfo1", "target": "x_gain", "depth": 30}]})";

class ModulationWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    window_ = MakeProgram();
    window_->Loop.DacName = "no device";  // unpaced frames
    window_->Loop.IldaDirectory = dir_.path().toStdString();
    window_->show();
    live_ = window_->findChild<LiveControl*>("liveControl");
    music_ = &window_.Program().Music();
  }
  void TearDown() override {
    if (window_->Running())
      window_->ClickStop();
    WaitForRunEnd(*window_);
    window_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  static bool Until(const std::function<bool()>& condition) {
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < 20000)
      QTest::qWait(2);
    return condition();
  }
  QString Preset(const char* name, const char* modulation) {
    const QString path = dir_.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(R"({"format": "whorlgen-preset", "version": 1, "modulation": )") +
               modulation + "}");
    return path;
  }
  // Opens a preset as the menu does, and gives the problem (empty: none) once it is read.
  QString Open(const QString& file) {
    QSignalSpy done(live_, &LiveControl::PresetDone);
    live_->OpenPreset(file);
    if (!Until([&] { return !done.isEmpty(); }))
      return "no answer";
    return done.front()[1].toString();
  }
  lo_address Osc() {
    EXPECT_EQ(live_->SetOsc(true, emulators::FreeLoopbackPort(SOCK_DGRAM)), "");
    return lo_address_new("127.0.0.1", std::to_string(live_->OscPort()).c_str());
  }
  int XGain() const { return window_->BarPosition("scrXGain"); }
  // Frames made from now on, so a value seen has been carried by frames.
  bool FramesGoOn(int frames = 3) {
    const int from = window_->TotalFrames();
    return Until([&] { return window_->TotalFrames() >= from + frames; });
  }

  QTemporaryDir dir_;
  ProgramWindow window_;
  LiveControl* live_ = nullptr;
  MusicModulation* music_ = nullptr;
};

TEST_F(ModulationWindow, APresetOpenedByOscAppliesTheMatrixAndEmptyRowsClearIt) {
  lo_address to = Osc();
  window_->ClickStart();
  lo_send(to, "/whorlgen/preset", "s", Preset("up.json", kHeldUp).toUtf8().constData());
  ASSERT_TRUE(Until([&] { return XGain() == 55; }));
  EXPECT_EQ(window_->Params.XGain, 1126);  // 55 x 20.47 = 1125.85, through the handler
  ASSERT_TRUE(FramesGoOn());
  EXPECT_EQ(XGain(), 55);
  lo_send(to, "/whorlgen/preset", "s",
          Preset("clear.json", R"({"rows": []})").toUtf8().constData());
  EXPECT_TRUE(Until([&] { return XGain() == 25 && music_->CurrentMatrix().Rows.empty(); }));
  ASSERT_TRUE(FramesGoOn());
  EXPECT_EQ(XGain(), 25);
  lo_address_free(to);
}

TEST_F(ModulationWindow, BypassByOscPutsTheBarsBackUntilItIsOff) {
  ASSERT_EQ(Open(Preset("up.json", kHeldUp)), "");
  lo_address to = Osc();
  window_->ClickStart();
  ASSERT_TRUE(Until([&] { return XGain() == 55; }));
  lo_send(to, "/whorlgen/modulation_bypass", "i", 1);
  ASSERT_TRUE(Until([&] { return music_->Bypassed(); }));
  EXPECT_EQ(XGain(), 25);
  ASSERT_TRUE(FramesGoOn());
  EXPECT_EQ(XGain(), 25);
  lo_send(to, "/whorlgen/modulation_bypass", "i", 0);
  EXPECT_TRUE(Until([&] { return XGain() == 55; }));
  lo_address_free(to);
}

TEST_F(ModulationWindow, APresetSavedDuringARunKeepsTheBarsRestingValues) {
  ASSERT_EQ(Open(Preset("up.json", kHeldUp)), "");
  window_->ClickStart();
  ASSERT_TRUE(Until([&] { return XGain() == 55; }));
  const QString saved = dir_.filePath("saved.json");
  ASSERT_EQ(live_->SavePreset(saved), "");
  window_->ClickStop();
  ASSERT_TRUE(WaitForRunEnd(*window_));
  EXPECT_EQ(XGain(), 25);  // at rest once the run has ended
  const control::PresetReading reading = control::ReadPresetFile(saved.toStdString());
  ASSERT_TRUE(reading.preset) << reading.problem;
  EXPECT_EQ(reading.preset->Controls.at("scrXGain"), 25);
  EXPECT_NE(reading.preset->Modulation.find("\"x_gain\""), std::string::npos);
}

TEST_F(ModulationWindow, ARowOfDepthZeroLeavesTheRecordingByteForByte) {
  constexpr int kFrames = 40;
  window_->SetCheck(FrmWhorlgen::Check::IldaOutput, true);
  // The velocity limit starts each run from where the last one ended.
  window_->SetCheck(FrmWhorlgen::Check::LimitVelocity, false);
  const auto record = [&] {
    window_->ClickStart();
    EXPECT_TRUE(Until([&] { return window_->TotalFrames() >= kFrames; }));
    window_->ClickStop();
    EXPECT_TRUE(WaitForRunEnd(*window_));
  };
  record();  // no row: the program as it always was
  ASSERT_EQ(Open(Preset("zero.json", R"({"lfos": [{"shape": "saw", "hz": 7}],
      "rows": [{"source": "lfo1", "target": "x_freq", "depth": 0},
               {"source": "lfo1", "target": "points_per_sec", "depth": 0}]})")),
            "");
  record();
  const std::filesystem::path dir = dir_.path().toStdString();
  const std::vector<unsigned char> plain = ReadWholeFile(dir / "WG01.ild");
  const std::vector<unsigned char> modulated = ReadWholeFile(dir / "WG02.ild");
  const std::vector<IldaSection> sections = IldaSections(plain);
  ASSERT_GT(sections.size(), static_cast<std::size_t>(kFrames));
  for (int f = 0; f < kFrames; ++f) {
    const IldaSection& s = sections[static_cast<std::size_t>(f)];
    const std::size_t from = s.offset + 32;  // the points, after the frame's header
    const std::size_t to = from + 8 * static_cast<std::size_t>(s.records);
    ASSERT_LE(to, modulated.size());
    ASSERT_TRUE(std::equal(plain.begin() + static_cast<std::ptrdiff_t>(from),
                           plain.begin() + static_cast<std::ptrdiff_t>(to),
                           modulated.begin() + static_cast<std::ptrdiff_t>(from)))
        << "frame " << f;
  }
}

TEST_F(ModulationWindow, TheModulationPageShowsTheMatrixAndEditsIt) {
  ASSERT_EQ(Open(Preset("up.json", kHeldUp)), "");
  auto* rows = window_->Devices()->findChild<QTableWidget*>("tblModulationRows");
  ASSERT_EQ(rows->rowCount(), 1);
  EXPECT_EQ(static_cast<QComboBox*>(rows->cellWidget(0, 1))->currentText(), "x_gain");
  EXPECT_EQ(static_cast<QDoubleSpinBox*>(rows->cellWidget(0, 2))->value(), 30.0);

  QTest::mouseClick(window_->Devices()->findChild<QPushButton*>("cmdAddModulationRow"),
                    Qt::LeftButton);
  ASSERT_EQ(music_->CurrentMatrix().Rows.size(), 2U);
  auto* depth = static_cast<QDoubleSpinBox*>(rows->cellWidget(1, 2));
  depth->setValue(5.0);
  EXPECT_EQ(music_->CurrentMatrix().Rows[1].Depth, 5.0);
  EXPECT_EQ(rows->cellWidget(1, 2), depth);  // the row being edited keeps its widgets

  rows->selectRow(0);
  QTest::mouseClick(window_->Devices()->findChild<QPushButton*>("cmdRemoveModulationRow"),
                    Qt::LeftButton);
  ASSERT_EQ(music_->CurrentMatrix().Rows.size(), 1U);
  EXPECT_EQ(music_->CurrentMatrix().Rows[0].Depth, 5.0);
}

}  // namespace
}  // namespace whorlgen::ui
