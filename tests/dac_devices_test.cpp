// Our own device libraries: the sound-card DAC through real ALSA, with ALSA's
// configuration pointed at its file plugin so the samples can be checked
// without sound hardware, and the pacing of the two emulated devices.

#include <alsa/asoundlib.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "devices/dac_api.h"
#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "output/dac_driver.h"
#include "output/device_library.h"
#include "tests/dac_test_support.h"

namespace whorlgen::output {
namespace {

using testing::BuildTestFrame;
using testing::TempDir;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::filesystem::path kDevicesDir = WHORLGEN_DEVICES_DIR;

// What the card must receive: per point X and Y as (code - 2048) x 16, then
// red, green, blue and intensity as level x 128, as many as it has channels.
void AppendExpectedSamples(const engine::FrameData& frame, std::size_t channels,
                           std::vector<std::int16_t>& samples) {
  for (const engine::LaserPoint& p : frame.FrameBuffer) {
    const std::int16_t all[] = {
        static_cast<std::int16_t>((p.X - 2048) * 16), static_cast<std::int16_t>((p.Y - 2048) * 16),
        static_cast<std::int16_t>(p.R * 128),         static_cast<std::int16_t>(p.G * 128),
        static_cast<std::int16_t>(p.B * 128),         static_cast<std::int16_t>(p.I * 128)};
    samples.insert(samples.end(), all, all + channels);
  }
}

std::vector<std::int16_t> ReadSamples(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  std::vector<std::int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// Points ALSA's "default" device somewhere else for the length of a test.
class SoundCardThroughAlsa : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* home = std::getenv("HOME"))
      savedHome_ = home;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"))
      savedXdg_ = xdg;
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", home_.Path().c_str(), 1);
  }
  void TearDown() override {
    if (savedHome_) {
      setenv("HOME", savedHome_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
    if (savedXdg_)
      setenv("XDG_CONFIG_HOME", savedXdg_->c_str(), 1);
    snd_config_update_free_global();
  }

  void UseAlsaConfig(const std::string& config) {
    std::ofstream(home_.Path() / ".asoundrc") << config << '\n';
    snd_config_update_free_global();  // alsa-lib caches its configuration per process
  }

  // A default device that writes every sample it is given to Captured().
  void CaptureToFile() {
    UseAlsaConfig("pcm.!default { type file slave.pcm \"null\" file \"" + Captured().string() +
                  "\" format \"raw\" }");
  }

  std::filesystem::path Captured() const { return home_.Path() / "out.raw"; }

  // The [soundcard] section of the settings file, as the Devices window writes it.
  void UseSoundCardSettings(const std::string& lines) {
    const std::filesystem::path dir = home_.Path() / ".config" / "whorlgen";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "whorlgen.conf") << "[soundcard]\n" << lines << '\n';
  }

  // Sends `frames` frames of the start-up figure; the samples the card must
  // receive are worked out point by point with `expectedOf`.
  template <typename ExpectedOf>
  std::vector<std::int16_t> SendFramesExpecting(DacDriver& driver, int frames,
                                                ExpectedOf expectedOf) {
    std::vector<std::int16_t> expected;
    for (int n = 0; n < frames; ++n) {
      const engine::FrameData frame = BuildTestFrame(500, 15000, generator);
      EXPECT_EQ(driver.SendFrame(frame, 15000), std::nullopt);
      for (const engine::LaserPoint& p : frame.FrameBuffer) {
        for (const std::int16_t sample : expectedOf(p))
          expected.push_back(sample);
      }
    }
    return expected;
  }

  TempDir home_;
  DeviceLibraries libraries{kDevicesDir};
  DacState state;
  engine::GeneratorState generator;

 private:
  std::optional<std::string> savedHome_;
  std::optional<std::string> savedXdg_;
};

TEST_F(SoundCardThroughAlsa, EveryPointBecomesOneAudioFrameOfSixChannels) {
  CaptureToFile();
  UseSoundCardSettings("layout=xyrgbi");
  auto driver = SelectDacDriver("SoundCard", state, libraries);
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  EXPECT_EQ(state.CardIndex, 0);

  std::vector<std::int16_t> expected;
  for (int n = 0; n < 3; ++n) {
    const engine::FrameData frame = BuildTestFrame(500, 15000, generator);
    ASSERT_EQ(driver->SendFrame(frame, 15000), std::nullopt);
    EXPECT_NE(state.DacStatus, EASYLASE_STATUS_BUSY);
    AppendExpectedSamples(frame, 6, expected);
  }
  ASSERT_EQ(driver->CloseDac(), std::nullopt);

  const std::vector<std::int16_t> captured = ReadSamples(Captured());
  ASSERT_EQ(captured.size(), 3u * 500u * 6u);
  EXPECT_EQ(captured, expected);
}

TEST_F(SoundCardThroughAlsa, FullScaleCodesGiveTheEndsOfTheSampleRange) {
  CaptureToFile();
  UseSoundCardSettings("layout=xyrgbi");
  auto driver = SelectDacDriver("SoundCard", state, libraries);
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  engine::FrameData frame;
  frame.FrameBuffer = {
      {0, 4095, 0, 255, 1, 128}, {4095, 0, 255, 0, 0, 0}, {2048, 2048, 1, 1, 1, 1}};
  frame.FrameBytes = 24;
  ASSERT_EQ(driver->SendFrame(frame, 15000), std::nullopt);
  driver->CloseDac();
  EXPECT_EQ(ReadSamples(Captured()),
            (std::vector<std::int16_t>{-32768, 32752, 0, 32640, 128, 16384,  //
                                       32752, -32768, 32640, 0, 0, 0,        //
                                       0, 0, 128, 128, 128, 128}));
}

TEST_F(SoundCardThroughAlsa, StereoCardGetsXAndYOnly) {
  // As on a real machine: the plug layer in front of a card with two channels.
  UseAlsaConfig("pcm.!default { type plug slave { pcm { type file slave.pcm \"null\" file \"" +
                Captured().string() + "\" format \"raw\" } channels 2 } }");
  auto driver = SelectDacDriver("SoundCard", state, libraries);
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  const engine::FrameData frame = BuildTestFrame(500, 15000, generator);
  ASSERT_EQ(driver->SendFrame(frame, 15000), std::nullopt);
  driver->CloseDac();
  std::vector<std::int16_t> expected;
  AppendExpectedSamples(frame, 2, expected);
  EXPECT_EQ(ReadSamples(Captured()), expected);
}

// A change of point rate sets the card up anew: every sample still arrives,
// in order. The file plugin takes samples as they are written, so it cannot
// tell whether audio queued at the old rate plays out before the change.
TEST_F(SoundCardThroughAlsa, AChangeOfPointRateSetsTheCardUpAgainAndKeepsEverySample) {
  CaptureToFile();
  UseSoundCardSettings("layout=xyrgbi");
  auto driver = SelectDacDriver("SoundCard", state, libraries);
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  std::vector<std::int16_t> expected;
  for (const std::int32_t pointsPerSec : {15000, 30000, 30000}) {
    const engine::FrameData frame = BuildTestFrame(500, pointsPerSec, generator);
    ASSERT_EQ(driver->SendFrame(frame, pointsPerSec), std::nullopt);
    AppendExpectedSamples(frame, 6, expected);
  }
  driver->CloseDac();
  EXPECT_EQ(ReadSamples(Captured()), expected);
}

TEST_F(SoundCardThroughAlsa, NoCardCountsZeroQuietlyAndPlaysEachFrameInItsTime) {
  UseAlsaConfig("pcm.!default { type hw card 31 }");
  auto driver = SelectDacDriver("SoundCard", state, libraries);
  testing::StderrCapture captured;
  const DacFailure opened = driver->OpenDac(generator);
  const engine::FrameData frame = BuildTestFrame(500, 15000, generator);  // 33.3 ms each
  const Clock::time_point start = Clock::now();
  DacFailure sent;
  for (int n = 0; n < 14 && !sent; ++n)
    sent = driver->SendFrame(frame, 15000);
  const Clock::duration took = Clock::now() - start;
  const std::string note = driver->StatusNote();
  const DacFailure closed = driver->CloseDac();
  EXPECT_EQ(captured.Text(), "") << "ALSA's own messages are silenced";
  EXPECT_EQ(opened, std::nullopt);
  EXPECT_EQ(sent, std::nullopt);
  EXPECT_EQ(closed, std::nullopt);
  EXPECT_EQ(state.CardIndex, -1);
  EXPECT_EQ(note, "no sound card: nothing is heard");
  // One frame plays while the next waits, so 14 sends take at least the
  // playing time of 12 frames (no upper bound: the machine may be loaded).
  EXPECT_GE(took, milliseconds(400) - milliseconds(5));
}

TEST_F(SoundCardThroughAlsa, LayoutsInversionsSwapAndLevelReachEverySample) {
  CaptureToFile();
  const auto x = [](const engine::LaserPoint& p) { return (p.X - 2048) * 16; };
  const auto y = [](const engine::LaserPoint& p) { return (p.Y - 2048) * 16; };
  // -32768 has no mirror image and becomes 32767.
  const auto mirrored = [](int sample) {
    return static_cast<std::int16_t>(std::min(-sample, 32767));
  };
  struct Case {
    std::string settings;
    std::function<std::vector<std::int16_t>(const engine::LaserPoint&)> expectedOf;
  };
  const std::vector<Case> cases = {
      {"layout=xy",
       [&](const auto& p) {
         return std::vector<std::int16_t>{static_cast<std::int16_t>(x(p)),
                                          static_cast<std::int16_t>(y(p))};
       }},
      {"layout=xy\ninvert_x=true\nswap_xy=true",
       [&](const auto& p) {
         return std::vector<std::int16_t>{static_cast<std::int16_t>(y(p)), mirrored(x(p))};
       }},
      {"layout=xyrgbi\ninvert_y=true\nlevel_percent=50",
       [&](const auto& p) {
         return std::vector<std::int16_t>{
             static_cast<std::int16_t>(x(p) / 2), static_cast<std::int16_t>(-y(p) / 2),
             static_cast<std::int16_t>(p.R * 64), static_cast<std::int16_t>(p.G * 64),
             static_cast<std::int16_t>(p.B * 64), static_cast<std::int16_t>(p.I * 64)};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    std::filesystem::remove(Captured());
    UseSoundCardSettings(c.settings);
    auto driver = SelectDacDriver("SoundCard", state, libraries);
    ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
    const std::vector<std::int16_t> expected = SendFramesExpecting(*driver, 2, c.expectedOf);
    driver->CloseDac();
    EXPECT_EQ(ReadSamples(Captured()), expected);
  }
}

TEST_F(SoundCardThroughAlsa, DeviceNamedInTheSettingsIsTheOneUsed) {
  // "default" has no card; the operator's device captures.
  UseAlsaConfig(
      "pcm.!default { type hw card 31 }\npcm.scope { type file slave.pcm \"null\" file \"" +
      Captured().string() + "\" format \"raw\" }");
  UseSoundCardSettings("device=scope");
  auto driver = SelectDacDriver("SoundCard", state, libraries);
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  EXPECT_EQ(state.CardIndex, 0);
  const std::vector<std::int16_t> expected =
      SendFramesExpecting(*driver, 1, [](const engine::LaserPoint& p) {
        return std::vector<std::int16_t>{static_cast<std::int16_t>((p.X - 2048) * 16),
                                         static_cast<std::int16_t>((p.Y - 2048) * 16)};
      });
  driver->CloseDac();
  EXPECT_EQ(ReadSamples(Captured()), expected);
}

// Failures end the run with ALSA's own words, not a timeout.
TEST_F(SoundCardThroughAlsa, FailuresEndTheRunWithTheLibrarysReason) {
  struct Case {
    std::string alsa, settings, reason;
  };
  const std::vector<Case> cases = {
      {"pcm.!default { type hw card 31 }", "device=\"hw:31,0\"",
       "\"hw:31,0\" could not be opened: No such file or directory"},
      // Six channels asked of a stereo card: refused, never mixed down.
      {"pcm.!default { type plug slave { pcm { type file slave.pcm \"null\" file \"" +
           Captured().string() + "\" format \"raw\" } channels 2 } }",
       "layout=xyrgbi", "has no 6-channel output for the X/Y/R/G/B/I layout"},
      // The card fails mid-run: the file plugin writes once its buffer of
      // 48000 frames is full, and /dev/full refuses.
      {"pcm.!default { type file slave.pcm \"null\" file \"/dev/full\" format \"raw\" }", "",
       "failed: Input/output error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.alsa);
    UseAlsaConfig(c.alsa);
    UseSoundCardSettings(c.settings);
    auto driver = SelectDacDriver("SoundCard", state, libraries);
    ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
    DacFailure failure;
    for (int n = 0; n < 200 && !failure; ++n)
      failure = driver->SendFrame(BuildTestFrame(500, 15000, generator), 15000);
    EXPECT_EQ(driver->CloseDac(), std::nullopt);
    ASSERT_TRUE(failure.has_value());
    EXPECT_THAT(*failure, ::testing::HasSubstr(c.reason));
    EXPECT_THAT(*failure, ::testing::Not(::testing::HasSubstr("stopped answering")));
  }
}

// ---- The emulated devices ----

// Asks one of our libraries for the status of a card it does not have.
TEST(DeviceLibraries, StatusOfACardTheLibraryDoesNotHaveIsNotBusy) {
  DeviceLibraries libraries(kDevicesDir);
  for (const DeviceLibrary library : {DeviceLibrary::SoundCard, DeviceLibrary::EasyLase}) {
    const BindResult bound = libraries.Bind(library, "EasyLaseGetStatus");
    ASSERT_NE(bound.Address, nullptr) << bound.Failure;
    const auto getStatus = reinterpret_cast<decltype(&EasyLaseGetStatus)>(bound.Address);
    for (const std::int16_t card : {-1, 1, 5}) {
      EXPECT_NE(getStatus(&card), EASYLASE_STATUS_BUSY) << LibraryFileName(library) << card;
    }
  }
}

// The first two frames go at once (one plays, one waits in the card); each
// later one when the one before the last has played.
Clock::duration SendFrames(DacDriver& driver, const engine::FrameData& frame,
                           std::int32_t pointsPerSec, int count) {
  const Clock::time_point start = Clock::now();
  for (int n = 0; n < count; ++n) {
    if (DacFailure failure = driver.SendFrame(frame, pointsPerSec)) {
      ADD_FAILURE() << *failure;
      break;
    }
  }
  return Clock::now() - start;
}

TEST(DeviceEmulation, EasyLasePlaysEachFrameForItsPlayingTime) {
  DeviceLibraries libraries(kDevicesDir);
  DacState state;
  engine::GeneratorState generator;
  auto driver = SelectDacDriver("EZLase", state, libraries);
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  EXPECT_EQ(state.CardIndex, 0);
  const engine::FrameData frame = BuildTestFrame(500, 15000, generator);  // 33.3 ms each
  const Clock::duration took = SendFrames(*driver, frame, 15000, 14);
  driver->CloseDac();
  const auto playing = milliseconds(400);  // 12 frames of 33.3 ms
  EXPECT_GE(took, playing - milliseconds(5));
}

// A card still playing long frames stays busy while they play, however short
// the frame that waits to go: the wait is bounded by what the card holds.
TEST(DeviceEmulation, AShortFrameMayWaitAsLongAsTheLongFramesTheCardHolds) {
  DeviceLibraries libraries(kDevicesDir);
  DacState state;
  engine::GeneratorState generator;
  auto driver = SelectDacDriver("EZLase", state, libraries,
                                {.MinimumBusyMs = milliseconds(10), .FramePlayTimes = 3});
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  const engine::FrameData longFrame = BuildTestFrame(16000, 15000, generator);  // 1.07 s
  const engine::FrameData shortFrame = BuildTestFrame(500, 15000, generator);   // 33 ms
  ASSERT_EQ(driver->SendFrame(longFrame, 15000), std::nullopt);
  ASSERT_EQ(driver->SendFrame(longFrame, 15000), std::nullopt);
  EXPECT_EQ(driver->SendFrame(shortFrame, 15000), std::nullopt);
  driver->CloseDac();
}

TEST(DeviceEmulation, RiyaPlaysEachBlockAtThePeriodsRate) {
  DeviceLibraries libraries(kDevicesDir);
  DacState state;
  engine::GeneratorState generator;
  auto driver = SelectDacDriver("RIYA", state, libraries);
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  EXPECT_EQ(state.RiyaOpened, 1);
  // 4000 points at 40000 points per second: period 833, blocks of 2000
  // points lasting 50 ms each.
  const engine::FrameData frame = BuildTestFrame(4000, 40000, generator);
  ASSERT_EQ(frame.PointPeriod, 833);
  const Clock::duration took = SendFrames(*driver, frame, 40000, 4);
  driver->CloseDac();
  const auto playing = milliseconds(300);  // 6 of the 8 blocks
  EXPECT_GE(took, playing - milliseconds(5));
}

TEST(DeviceEmulation, CloseStopsOutputAtOnce) {
  DeviceLibraries libraries(kDevicesDir);
  DacState state;
  engine::GeneratorState generator;
  const auto getStatus = reinterpret_cast<decltype(&EasyLaseGetStatus)>(
      libraries.Bind(DeviceLibrary::EasyLase, "EasyLaseGetStatus").Address);
  const auto canTake = reinterpret_cast<decltype(&Ri_SetIntCh)>(
      libraries.Bind(DeviceLibrary::Riya, "Ri_SetIntCh").Address);
  ASSERT_NE(getStatus, nullptr);
  ASSERT_NE(canTake, nullptr);
  // One run fills the card with all it holds: 6.4 s (EasyLase, two frames)
  // or 0.8 s (RIYA, two blocks) of output. Right after the close, the next
  // run's card can take a frame at once.
  for (const auto& [name, points] : {std::pair{"EZLase", 16000}, std::pair{"RIYA", 4000}}) {
    const engine::FrameData frame = BuildTestFrame(points, 5000, generator);
    auto driver = SelectDacDriver(name, state, libraries);
    ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
    ASSERT_EQ(driver->SendFrame(frame, 5000), std::nullopt);
    if (std::string(name) == "EZLase") {
      ASSERT_EQ(driver->SendFrame(frame, 5000), std::nullopt);
    }
    ASSERT_EQ(driver->CloseDac(), std::nullopt);

    auto next = SelectDacDriver(name, state, libraries);
    ASSERT_EQ(next->OpenDac(generator), std::nullopt);
    if (std::string(name) == "EZLase") {
      EXPECT_EQ(getStatus(&state.CardIndex), EASYLASE_STATUS_READY);
    } else {
      EXPECT_NE(canTake(0), 0);
    }
    next->CloseDac();
  }
}

}  // namespace
}  // namespace whorlgen::output
