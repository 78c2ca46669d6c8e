// The sound card as the operator meets it: the Devices page writes what the
// sound-card library reads, and a run without a card says so in the title.

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>

#include "devices/sound_card_settings.h"
#include "tests/temp_dir.h"
#include "tests/ui_qstring_printer.h"
#include "tests/ui_test_support.h"
#include "ui/frm_whorlgen.h"
#include "ui/settings_file.h"
#include "ui/sound_card_page.h"

namespace whorlgen::ui {
namespace {

namespace fs = std::filesystem;

// HOME and XDG_CONFIG_HOME in a fresh directory for the length of a test.
class SoundCardUi : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME"}) {
      if (const char* value = std::getenv(name))
        saved_.emplace_back(name, value);
    }
    setenv("HOME", dir_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_CONFIG_HOME");
    for (const auto& [name, value] : saved_)
      setenv(name.c_str(), value.c_str(), 1);
    snd_config_update_free_global();
  }

  testing::TempDir temp_;
  const fs::path dir_ = temp_.Path();
  std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(SoundCardUi, PageWritesWhatTheLibraryReads) {
  output::DeviceLibraries libraries;
  SoundCardPage page(libraries);
  // A device name with QSettings' special characters, which it quotes.
  page.findChild<QComboBox*>("cboSoundCardDevice")->setCurrentText("plughw:CARD=PCH,DEV=0");
  page.findChild<QComboBox*>("cboSoundCardLayout")->setCurrentIndex(2);
  page.findChild<QCheckBox*>("chkSoundCardInvertX")->setChecked(true);
  page.findChild<QCheckBox*>("chkSoundCardSwapXY")->setChecked(true);
  page.findChild<QSpinBox*>("spnSoundCardLevel")->setValue(40);

  devices::SoundCardSettings read = devices::ReadSoundCardSettings(devices::SettingsFilePath());
  EXPECT_EQ(read.Device, "plughw:CARD=PCH,DEV=0");
  EXPECT_EQ(read.Layout, devices::ChannelLayout::XYRGBI);
  EXPECT_TRUE(read.InvertX);
  EXPECT_FALSE(read.InvertY);
  EXPECT_TRUE(read.SwapXY);
  EXPECT_EQ(read.LevelPercent, 40);

  page.findChild<QComboBox*>("cboSoundCardLayout")->setCurrentIndex(0);  // automatic
  page.findChild<QCheckBox*>("chkSoundCardInvertX")->setChecked(false);
  read = devices::ReadSoundCardSettings(devices::SettingsFilePath());
  EXPECT_EQ(read.Layout, std::nullopt);
  EXPECT_FALSE(read.InvertX);
}

TEST_F(SoundCardUi, RunWithoutACardIsPacedAndSaysSoInTheTitle) {
  std::ofstream(dir_ / ".asoundrc") << "pcm.!default { type hw card 31 }\n";
  snd_config_update_free_global();
  ProgramWindow windowProgram = MakeProgram();
  FrmWhorlgen& window = *windowProgram;
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  ASSERT_EQ(window.DacName(), "SoundCard");

  QString titleDuringRun;
  QString cornerDuringRun;
  QTimer::singleShot(1000, &window, [&] {
    titleDuringRun = window.windowTitle();
    cornerDuringRun = window.findChild<QLabel*>("lblStatusNote")->text();
    QTest::mouseClick(window.findChild<QPushButton*>("cmdStop"), Qt::LeftButton);
  });
  QTimer::singleShot(20000, &window, [&] { window.close(); });  // a watchdog
  const auto start = std::chrono::steady_clock::now();
  QTest::mouseClick(window.findChild<QPushButton*>("cmdStart"), Qt::LeftButton);
  EXPECT_TRUE(WaitForRunEnd(window));
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(titleDuringRun, QString::fromUtf8("Whorlgen \u2014 no sound card: nothing is heard"));
  // Also where a full-screen set-up, which shows no title, shows it.
  EXPECT_EQ(cornerDuringRun, "no sound card: nothing is heard");
  // 500 points at 15000 a second: 33.3 ms a frame, one frame ahead at most.
  EXPECT_GE(took, std::chrono::microseconds(33333) * (window.TotalFrames() - 2));
  EXPECT_GT(window.TotalFrames(), 0);
  QTest::qWait(400);
  EXPECT_EQ(window.windowTitle(), "Whorlgen");
  EXPECT_FALSE(window.findChild<QLabel*>("lblStatusNote")->isVisible());
  auto* page = window.findChild<SoundCardPage*>();
  ASSERT_NE(page, nullptr);
  page->ShowRunReport();
  const std::string lastRun = page->findChild<QLabel*>("lblSoundCardLastRun")->text().toStdString();
  EXPECT_EQ(lastRun.rfind("No sound card", 0), 0u) << lastRun;
}

TEST_F(SoundCardUi, ValuesTheLibraryRefusesAreNamedOnThePageAndNotUsed) {
  fs::create_directories(dir_ / "config" / "whorlgen");
  std::ofstream(dir_ / "config" / "whorlgen" / "whorlgen.conf")
      << "[soundcard]\nlayout=foo\nlevel_percent=-5\ninvert_x=true\n";
  const devices::SoundCardSettings read =
      devices::ReadSoundCardSettings(devices::SettingsFilePath());
  EXPECT_EQ(read.Layout, std::nullopt);
  EXPECT_EQ(read.LevelPercent, 100);  // the default, not -5 taken to 0
  EXPECT_TRUE(read.InvertX);

  output::DeviceLibraries libraries;
  SoundCardPage page(libraries);
  const QString refused = page.findChild<QLabel*>("lblSoundCardRefused")->text();
  EXPECT_TRUE(refused.contains("layout = \"foo\"")) << refused.toStdString();
  EXPECT_TRUE(refused.contains("level_percent = \"-5\"")) << refused.toStdString();
  EXPECT_EQ(page.findChild<QSpinBox*>("spnSoundCardLevel")->value(), 100);
}

// A pipe in the settings file's place would hold whoever opens it until a
// writer came; a huge file would be read whole. Neither is read, nor written.
TEST_F(SoundCardUi, ASettingsFileThatIsNoPlainFileIsNeitherReadNorWritten) {
  const fs::path file = dir_ / "config" / "whorlgen" / "whorlgen.conf";
  fs::create_directories(file.parent_path());
  ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
  auto readers = std::async(std::launch::async, [&] {
    OpenSettings()->setValue("osc/port", 1234);
    return devices::ReadSoundCardSettings(file).Problems;
  });
  if (readers.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // Lets the stuck reader go before failing.
    for (int i = 0; i < 2; ++i)
      ::close(::open(file.c_str(), O_WRONLY | O_NONBLOCK));
    FAIL() << "a reader waited on the pipe";
  }
  const std::vector<std::string> problems = readers.get();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("a pipe"), std::string::npos) << problems[0];
  EXPECT_TRUE(fs::is_fifo(file));
  EXPECT_TRUE(SettingsFileProblem().contains("a pipe"));

  fs::remove(file);
  std::ofstream(file) << "[soundcard]\nlevel_percent=5\n"
                      << std::string(devices::kMaxSettingsFileBytes, ';');
  const devices::SoundCardSettings big = devices::ReadSoundCardSettings(file);
  EXPECT_EQ(big.LevelPercent, 100);
  ASSERT_EQ(big.Problems.size(), 1u);
  EXPECT_NE(big.Problems[0].find("larger than 1 MiB"), std::string::npos);
}

}  // namespace
}  // namespace whorlgen::ui
