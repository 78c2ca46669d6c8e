// The calls each DAC back-end makes, checked against recording stand-ins of
// the three libraries, and the loader's failures in the operator's words.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "devices/dac_api.h"
#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "output/dac_driver.h"
#include "output/device_library.h"
#include "tests/dac_test_support.h"

namespace whorlgen::output {
namespace {

using testing::AddressOf;
using testing::BuildTestFrame;
using testing::Call;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using testing::Names;
using testing::StandIn;
using testing::TempDir;

const std::filesystem::path kStandInDir = WHORLGEN_STAND_IN_DIR;
const std::filesystem::path kIncompleteDir = WHORLGEN_STAND_IN_INCOMPLETE_DIR;

// Offset in points of a logged address from the frame's first point.
long long PointOffset(long long address, const engine::FrameData& frame) {
  return (address - AddressOf(frame.FrameBuffer.data())) /
         static_cast<long long>(sizeof(engine::LaserPoint));
}

class DacDriverTest : public ::testing::Test {
 protected:
  DacDriverTest()
      : libraries(kStandInDir),
        soundCard(kStandInDir, DeviceLibrary::SoundCard),
        easyLase(kStandInDir, DeviceLibrary::EasyLase),
        riya(kStandInDir, DeviceLibrary::Riya) {}

  std::unique_ptr<DacDriver> Select(const std::string& name, DacWaitLimits limits = {}) {
    return SelectDacDriver(name, state, libraries, limits);
  }

  DeviceLibraries libraries;
  DacState state;
  engine::GeneratorState generator;
  StandIn soundCard;
  StandIn easyLase;
  StandIn riya;
};

// ---- "SoundCard" and "EZLase" ----

TEST_F(DacDriverTest, SoundCardRunCallsItsLibraryInOrderWithTheFrameInPlace) {
  auto driver = Select("SoundCard");
  EXPECT_FALSE(libraries.IsLoaded(DeviceLibrary::SoundCard)) << "loaded before its first call";
  state.CardIndex = 7;
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  EXPECT_TRUE(libraries.IsLoaded(DeviceLibrary::SoundCard));
  EXPECT_EQ(state.CardIndex, 0);

  const engine::FrameData frame = BuildTestFrame(500, 15000);
  ASSERT_EQ(driver->SendFrame(frame, 15000), std::nullopt);
  ASSERT_EQ(driver->CloseDac(), std::nullopt);

  const std::vector<Call> calls = soundCard.Calls();
  ASSERT_THAT(Names(calls),
              ElementsAre("EasyLaseGetCardNum", "EasyLaseGetStatus", "EasyLaseWriteFrame",
                          "EasyLaseClose", "EasyLaseGetCardNum", "EasyLaseClose"));
  // GetStatus(address of CardIndex) holding 0.
  EXPECT_THAT(calls[1].Args, ElementsAre(AddressOf(&state.CardIndex), 0));
  // WriteFrame(address of CardIndex, FrameBuffer point 0, FrameBytes, PointsPerSec).
  const std::vector<long long>& write = calls[2].Args;
  EXPECT_EQ(write[0], AddressOf(&state.CardIndex));
  EXPECT_EQ(write[1], 0);
  EXPECT_EQ(write[2], AddressOf(frame.FrameBuffer.data()));
  EXPECT_EQ(write[3], 4000);
  EXPECT_EQ(write[4], 15000);
  EXPECT_EQ(write[5], frame.FrameBuffer[0].X);
  EXPECT_EQ(write[8], frame.FrameBuffer[499].X);

  EXPECT_TRUE(easyLase.Calls().empty());
  EXPECT_FALSE(libraries.IsLoaded(DeviceLibrary::EasyLase));
  EXPECT_FALSE(libraries.IsLoaded(DeviceLibrary::Riya));
}

TEST_F(DacDriverTest, EzLaseRunClosesOnceAndLeavesTheSoundCardLibraryAlone) {
  auto driver = Select("EZLase");
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  const engine::FrameData frame = BuildTestFrame(16000, 48000);
  ASSERT_EQ(driver->SendFrame(frame, 48000), std::nullopt);
  ASSERT_EQ(driver->SendFrame(frame, 48000), std::nullopt);
  ASSERT_EQ(driver->CloseDac(), std::nullopt);

  const std::vector<Call> calls = easyLase.Calls();
  EXPECT_THAT(Names(calls),
              ElementsAre("EasyLaseGetCardNum", "EasyLaseGetStatus", "EasyLaseWriteFrame",
                          "EasyLaseGetStatus", "EasyLaseWriteFrame", "EasyLaseClose"));
  EXPECT_EQ(calls[2].Args[3], 128000);
  EXPECT_EQ(calls[2].Args[4], 48000);
  EXPECT_TRUE(soundCard.Calls().empty());
  EXPECT_FALSE(libraries.IsLoaded(DeviceLibrary::SoundCard));
}

TEST_F(DacDriverTest, NoCardGivesCardIndexMinusOneAndFramesStillGoToTheLibrary) {
  for (const char* name : {"SoundCard", "EZLase"}) {
    StandIn& library = std::string(name) == "SoundCard" ? soundCard : easyLase;
    library.Reset();
    library.SetCardCount(0);
    library.SetStatuses({}, EASYLASE_STATUS_NO_CARD);
    auto driver = Select(name);
    EXPECT_EQ(driver->OpenDac(generator), std::nullopt) << name << ": no card is not reported";
    EXPECT_EQ(state.CardIndex, -1) << name;
    const engine::FrameData frame = BuildTestFrame(500, 15000);
    EXPECT_EQ(driver->SendFrame(frame, 15000), std::nullopt) << name;
    driver->CloseDac();
    const std::vector<Call> calls = library.Calls();
    ASSERT_GE(calls.size(), 3u) << name;
    EXPECT_EQ(calls[1].Name, "EasyLaseGetStatus") << name;
    EXPECT_EQ(calls[1].Args[1], -1) << name;
    EXPECT_EQ(calls[2].Name, "EasyLaseWriteFrame") << name;
    EXPECT_EQ(calls[2].Args[1], -1) << name;
  }
}

TEST_F(DacDriverTest, WaitPollsWhileBusyAndAnyOtherStatusEndsItAtOnce) {
  const engine::FrameData frame = BuildTestFrame(500, 15000);
  for (const std::int16_t answer : {0, 1, 3, -1, 255}) {
    easyLase.Reset();
    easyLase.SetStatuses({2, 2, 2, answer}, 2);
    auto driver = Select("EZLase");
    driver->OpenDac(generator);
    ASSERT_EQ(driver->SendFrame(frame, 15000), std::nullopt) << answer;
    EXPECT_THAT(Names(easyLase.Calls()),
                ElementsAre("EasyLaseGetCardNum", "EasyLaseGetStatus", "EasyLaseGetStatus",
                            "EasyLaseGetStatus", "EasyLaseGetStatus", "EasyLaseWriteFrame"))
        << answer;
    EXPECT_EQ(state.DacStatus, answer);
  }
}

TEST_F(DacDriverTest, CardThatStaysBusyEndsTheRunWithAMessageAndNoWrite) {
  easyLase.SetStatuses({}, EASYLASE_STATUS_BUSY);
  auto driver = Select(
      "EZLase", DacWaitLimits{.MinimumBusyMs = std::chrono::milliseconds(30), .FramePlayTimes = 1});
  driver->OpenDac(generator);
  const engine::FrameData frame = BuildTestFrame(500, 15000);
  const auto start = std::chrono::steady_clock::now();
  const DacFailure failure = driver->SendFrame(frame, 15000);
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(failure.has_value());
  EXPECT_THAT(*failure, HasSubstr("EasyLase card"));
  EXPECT_THAT(*failure, HasSubstr("stopped answering"));
  EXPECT_GE(waited, std::chrono::milliseconds(30));
  EXPECT_EQ(state.DacStatus, EASYLASE_STATUS_BUSY);
  // The close still reaches the card.
  EXPECT_EQ(driver->CloseDac(), std::nullopt);
  const std::vector<std::string> names = Names(easyLase.Calls());
  EXPECT_EQ(std::count(names.begin(), names.end(), "EasyLaseWriteFrame"), 0);
  EXPECT_EQ(names.back(), "EasyLaseClose");
}

TEST(BusyWaitLimit, IsAMultipleOfThePlayingTimeButNeverUnderTheMinimum) {
  using std::chrono::milliseconds;
  const DacWaitLimits defaults;
  EXPECT_EQ(BusyWaitLimit(milliseconds(33), defaults), milliseconds(1000));
  EXPECT_EQ(BusyWaitLimit(milliseconds(3200), defaults), milliseconds(32000));
  EXPECT_EQ(
      BusyWaitLimit(milliseconds(1500), {.MinimumBusyMs = milliseconds(20), .FramePlayTimes = 2}),
      milliseconds(3000));
}

TEST_F(DacDriverTest, CardThatRefusesAFrameEndsTheRunWithTheReason) {
  easyLase.SetWriteAnswer(0);
  auto driver = Select("EZLase");
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  const DacFailure failure = driver->SendFrame(BuildTestFrame(500, 15000), 15000);
  ASSERT_TRUE(failure.has_value());
  EXPECT_THAT(*failure, HasSubstr("refused a frame of 500 points"));
}

// ---- "RIYA" ----

TEST_F(DacDriverTest, RiyaOpenSendsOneDarkStartPointNearTheCentre) {
  generator.LastX = 100;
  generator.LastY = 4000;
  auto driver = Select("RIYA");
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  EXPECT_EQ(state.RiyaOpened, 1);
  EXPECT_EQ(generator.LastX, 2047);
  EXPECT_EQ(generator.LastY, 2047);

  const std::vector<Call> calls = riya.Calls();
  ASSERT_THAT(Names(calls), ElementsAre("RiOpenDevices", "Ri_InitChanal", "RiSetShowCadr"));
  EXPECT_THAT(calls[1].Args, ElementsAre(0, 16));
  // index, address, count, period, mode, then the point: X, Y, colours, last X.
  const std::vector<long long>& start = calls[2].Args;
  EXPECT_EQ(start[0], 0);
  EXPECT_EQ(start[2], 1);
  EXPECT_EQ(start[3], 1000);
  EXPECT_EQ(start[4], 30);
  EXPECT_EQ(start[5], 2047);
  EXPECT_EQ(start[6], 2047);
  EXPECT_EQ(start[7], 0);
}

struct RiyaBlocksCase {
  std::int32_t Points;
  std::vector<long long> Starts;
  std::vector<long long> Counts;
};

class RiyaBlocks : public DacDriverTest, public ::testing::WithParamInterface<RiyaBlocksCase> {};

TEST_P(RiyaBlocks, FrameGoesInBlocksOfAtMost2000EachAfterItsOwnWait) {
  const RiyaBlocksCase& c = GetParam();
  auto driver = Select("RIYA");
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  riya.Reset();
  const engine::FrameData frame = BuildTestFrame(c.Points, 15000);
  ASSERT_EQ(driver->SendFrame(frame, 15000), std::nullopt);

  const std::vector<Call> calls = riya.Calls();
  ASSERT_EQ(calls.size(), 2 * c.Starts.size());
  std::vector<long long> starts;
  std::vector<long long> counts;
  for (std::size_t n = 0; n < calls.size(); n += 2) {
    EXPECT_EQ(calls[n].Name, "Ri_SetIntCh");
    EXPECT_THAT(calls[n].Args, ElementsAre(0));
    ASSERT_EQ(calls[n + 1].Name, "RiSetShowCadr");
    const std::vector<long long>& block = calls[n + 1].Args;
    EXPECT_EQ(block[0], 0);
    starts.push_back(PointOffset(block[1], frame));
    counts.push_back(block[2]);
    EXPECT_EQ(block[3], 2222);
    EXPECT_EQ(block[4], 30);
    EXPECT_EQ(block[5], frame.FrameBuffer[static_cast<std::size_t>(starts.back())].X);
  }
  EXPECT_THAT(starts, ElementsAreArray(c.Starts));
  EXPECT_THAT(counts, ElementsAreArray(c.Counts));
}

INSTANTIATE_TEST_SUITE_P(PointsPerFrame, RiyaBlocks,
                         ::testing::Values(RiyaBlocksCase{500, {0}, {500}},
                                           RiyaBlocksCase{4000, {0, 2000}, {2000, 2000}},
                                           RiyaBlocksCase{4500, {0, 2000, 4000}, {2000, 2000, 500}},
                                           RiyaBlocksCase{
                                               16000,
                                               {0, 2000, 4000, 6000, 8000, 10000, 12000, 14000},
                                               std::vector<long long>(8, 2000)}),
                         [](const auto& info) { return std::to_string(info.param.Points); });

TEST_F(DacDriverTest, RiyaPeriodFollowsThePointRate) {
  auto driver = Select("RIYA");
  driver->OpenDac(generator);
  for (const auto& [pointsPerSec, period] :
       std::vector<std::pair<std::int32_t, long long>>{{15000, 2222}, {48000, 694}, {5000, 6667}}) {
    riya.Reset();
    const engine::FrameData frame = BuildTestFrame(500, pointsPerSec);
    EXPECT_EQ(frame.PointPeriod, period);
    ASSERT_EQ(driver->SendFrame(frame, pointsPerSec), std::nullopt);
    const std::vector<Call> calls = riya.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].Args[3], period) << pointsPerSec;
  }
}

TEST_F(DacDriverTest, RiyaWithNoDeviceSendsNothingButStillClosesEverything) {
  riya.SetRiyaOpened(0);
  generator.LastX = 123;
  generator.LastY = 456;
  auto driver = Select("RIYA");
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  EXPECT_EQ(state.RiyaOpened, 0);
  EXPECT_EQ(generator.LastX, 123);
  EXPECT_EQ(generator.LastY, 456);
  ASSERT_EQ(driver->SendFrame(BuildTestFrame(4500, 15000), 15000), std::nullopt);
  ASSERT_EQ(driver->CloseDac(), std::nullopt);
  EXPECT_THAT(Names(riya.Calls()),
              ElementsAre("RiOpenDevices", "RiStopShow", "RiCloseDevices", "FreeRecource"));
}

TEST_F(DacDriverTest, RiyaWaitPausesUntilReadyOrGivesUpAfter200PausesAndSendsAnyway) {
  auto driver = Select("RIYA");
  driver->OpenDac(generator);
  const engine::FrameData frame = BuildTestFrame(500, 15000);

  riya.Reset();
  riya.SetReadyAnswers({0, 0, 0}, 1);
  ASSERT_EQ(driver->SendFrame(frame, 15000), std::nullopt);
  EXPECT_THAT(Names(riya.Calls()), ElementsAre("Ri_SetIntCh", "Ri_SetIntCh", "Ri_SetIntCh",
                                               "Ri_SetIntCh", "RiSetShowCadr"));

  riya.Reset();
  riya.SetReadyAnswers({}, 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(driver->SendFrame(frame, 15000), std::nullopt);
  const auto waited = std::chrono::steady_clock::now() - start;
  const std::vector<std::string> names = Names(riya.Calls());
  ASSERT_EQ(names.size(), 202u);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Ri_SetIntCh"), 201);
  EXPECT_EQ(names.back(), "RiSetShowCadr");
  EXPECT_GE(waited, std::chrono::milliseconds(200)) << "200 pauses of a millisecond";

  EXPECT_EQ(driver->CloseDac(), std::nullopt);
}

// The run is ending (Stop, closing, a signal): a card that stays busy no
// longer holds it, and a RIYA device gets the rest of its frame at once.
TEST_F(DacDriverTest, AnInterruptEndsTheLibraryWaitsAtOnce) {
  easyLase.SetStatuses({}, EASYLASE_STATUS_BUSY);
  auto card = Select("EZLase", DacWaitLimits{.MinimumBusyMs = std::chrono::minutes(1)});
  card->OpenDac(generator);
  const engine::FrameData frame = BuildTestFrame(4500, 15000);
  card->Interrupt();
  const DacFailure failure = card->SendFrame(frame, 15000);  // a minute without the interrupt
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(*failure, "interrupted");
  const std::vector<std::string> names = Names(easyLase.Calls());
  EXPECT_EQ(std::count(names.begin(), names.end(), "EasyLaseWriteFrame"), 0);

  auto riyaDriver = Select("RIYA");
  riyaDriver->OpenDac(generator);
  riya.Reset();
  riya.SetReadyAnswers({}, 0);
  riyaDriver->Interrupt();
  ASSERT_EQ(riyaDriver->SendFrame(frame, 15000), std::nullopt);
  EXPECT_THAT(Names(riya.Calls()), ElementsAre("Ri_SetIntCh", "RiSetShowCadr", "Ri_SetIntCh",
                                               "RiSetShowCadr", "Ri_SetIntCh", "RiSetShowCadr"));
}

// ---- Any other name ----

TEST_F(DacDriverTest, OtherNamesTouchNoLibrary) {
  for (const char* name : {"", "soundcard", "SOUNDCARD", "EZLASE", "Riya", "RIYA ", "None"}) {
    generator.LastX = 5;
    generator.LastY = 6;
    auto driver = Select(name);
    EXPECT_EQ(driver->OpenDac(generator), std::nullopt);
    EXPECT_EQ(driver->SendFrame(BuildTestFrame(500, 15000), 15000), std::nullopt);
    EXPECT_EQ(driver->CloseDac(), std::nullopt);
    EXPECT_EQ(generator.LastX, 5);
    EXPECT_EQ(generator.LastY, 6);
  }
  EXPECT_FALSE(libraries.IsLoaded(DeviceLibrary::SoundCard));
  EXPECT_FALSE(libraries.IsLoaded(DeviceLibrary::EasyLase));
  EXPECT_FALSE(libraries.IsLoaded(DeviceLibrary::Riya));
  EXPECT_TRUE(soundCard.Calls().empty());
  EXPECT_TRUE(easyLase.Calls().empty());
  EXPECT_TRUE(riya.Calls().empty());
}

// ---- Libraries and functions that cannot be found ----

TEST(DacLibraryMissing, RunEndsWithTheLoadersMessageAndTheCloseIsQuiet) {
  TempDir empty;
  DeviceLibraries libraries(empty.Path());
  DacState state;
  engine::GeneratorState generator;
  for (const auto& [name, file] :
       std::vector<std::pair<std::string, std::string>>{{"SoundCard", "libEZAudDac.so"},
                                                        {"EZLase", "libEasyLase.so"},
                                                        {"RIYA", "libRiyaNetServer_stdcall.so"}}) {
    auto driver = SelectDacDriver(name, state, libraries);
    const DacFailure failure = driver->OpenDac(generator);
    ASSERT_TRUE(failure.has_value()) << name;
    EXPECT_THAT(*failure, HasSubstr(file));
    EXPECT_THAT(*failure, HasSubstr(empty.Path().string()));
    EXPECT_THAT(*failure, HasSubstr("was not found"));
    // Told once: the frame and the close skip the library quietly.
    EXPECT_EQ(driver->SendFrame(BuildTestFrame(500, 15000), 15000), std::nullopt) << name;
    EXPECT_EQ(driver->CloseDac(), std::nullopt) << name;
    // A later run tries again, so a library put in place meanwhile is found.
    auto nextRun = SelectDacDriver(name, state, libraries);
    EXPECT_TRUE(nextRun->OpenDac(generator).has_value());
  }
  EXPECT_EQ(state.RiyaOpened, 0);
}

TEST(DacLibraryMissing, BrokenLibraryBesideTheProgramIsReportedNotReplaced) {
  TempDir directory;
  std::ofstream(directory.Path() / "libEasyLase.so") << "not a shared object";
  DeviceLibraries libraries(directory.Path());
  DacState state;
  engine::GeneratorState generator;
  auto driver = SelectDacDriver("EZLase", state, libraries);
  const DacFailure failure = driver->OpenDac(generator);
  ASSERT_TRUE(failure.has_value());
  EXPECT_THAT(*failure, HasSubstr((directory.Path() / "libEasyLase.so").string()));
  EXPECT_THAT(*failure, HasSubstr("could not be loaded"));
}

// A library cut short (as by a copy that failed) or built for another
// machine is told in words; mapping it would kill the program in the loader.
TEST(DacLibraryMissing, LibraryThatIsNotWholeIsReportedWithoutLoadingIt) {
  const std::filesystem::path real = std::filesystem::path(WHORLGEN_DEVICES_DIR) / "libEasyLase.so";
  std::ifstream in(real, std::ios::binary);
  const std::string whole{std::istreambuf_iterator<char>(in), {}};
  ASSERT_GT(whole.size(), 8192u);
  std::string otherMachine = whole;
  otherMachine[18] = static_cast<char>(otherMachine[18] ^ 0x7F);  // e_machine
  for (const auto& [contents, words] : {std::pair{whole.substr(0, 4096), "cut short"},
                                        std::pair{otherMachine, "another kind of machine"}}) {
    TempDir directory;
    std::ofstream(directory.Path() / "libEasyLase.so", std::ios::binary) << contents;
    DeviceLibraries libraries(directory.Path());
    const BindResult result = libraries.Bind(DeviceLibrary::EasyLase, "EasyLaseGetCardNum");
    EXPECT_EQ(result.Address, nullptr);
    EXPECT_THAT(result.Failure, HasSubstr(words));
    EXPECT_FALSE(libraries.IsLoaded(DeviceLibrary::EasyLase));
  }
}

TEST(ProgramDirectory, AnUnreadableLinkIsToldNotPassedOverInSilence) {
  const ProgramLocation location = FindProgramDirectory("/no/such/exe");
  EXPECT_TRUE(location.Directory.empty());
  EXPECT_THAT(location.Problem, HasSubstr("/no/such/exe"));
  EXPECT_THAT(location.Problem, HasSubstr(std::strerror(ENOENT)));
}

TEST(DacFunctionMissing, EasyLaseWithoutGetStatusNamesItAndStillCloses) {
  StandIn incomplete(kIncompleteDir, DeviceLibrary::EasyLase);
  DeviceLibraries libraries(kIncompleteDir);
  DacState state;
  engine::GeneratorState generator;
  auto driver = SelectDacDriver("EZLase", state, libraries);
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  const DacFailure failure = driver->SendFrame(BuildTestFrame(500, 15000), 15000);
  ASSERT_TRUE(failure.has_value());
  EXPECT_THAT(*failure, HasSubstr("EasyLaseGetStatus"));
  EXPECT_THAT(*failure, HasSubstr("libEasyLase.so"));
  EXPECT_THAT(*failure, HasSubstr("has no function"));
  EXPECT_EQ(driver->CloseDac(), std::nullopt);
  EXPECT_THAT(Names(incomplete.Calls()), ElementsAre("EasyLaseGetCardNum", "EasyLaseClose"));
}

TEST(DacFunctionMissing, RiyaCloseReportsTheMissingStepAndRunsTheOthers) {
  StandIn incomplete(kIncompleteDir, DeviceLibrary::Riya);
  DeviceLibraries libraries(kIncompleteDir);
  DacState state;
  engine::GeneratorState generator;
  auto driver = SelectDacDriver("RIYA", state, libraries);
  ASSERT_EQ(driver->OpenDac(generator), std::nullopt);
  const DacFailure failure = driver->CloseDac();
  ASSERT_TRUE(failure.has_value());
  EXPECT_THAT(*failure, HasSubstr("RiStopShow"));
  EXPECT_THAT(Names(incomplete.Calls()),
              ElementsAre("RiOpenDevices", "Ri_InitChanal", "RiSetShowCadr", "RiCloseDevices",
                          "FreeRecource"));
}

}  // namespace
}  // namespace whorlgen::output
