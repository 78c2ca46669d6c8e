// The device directory: its snapshot as units arrive, go quiet, leave and
// flood in; requests that never wait for a scan; and text off the wire made
// fit to show. Stand-in families where timing must be exact, the Ether
// Dream family against its emulator on 127.0.0.1 where the wire matters.
#include "discovery/device_directory.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <ostream>
#include <thread>

#include "emulators/emulator_process.h"
#include "lasers/etherdream_family.h"
#include "tests/temp_dir.h"

namespace whorlgen::output {
// States in failure messages read as the operator reads them.
void PrintTo(DeviceState state, std::ostream* out) {
  *out << DeviceStateWords(state);
}
}  // namespace whorlgen::output

namespace whorlgen::discovery {
namespace {

using namespace std::chrono_literals;
using output::DacInfo;
using output::DeviceState;
using Clock = std::chrono::steady_clock;

// Polls the directory's snapshot until `holds` is true of it or 10 s pass.
template <typename Holds>
bool WaitFor(const DeviceDirectory& directory, Holds holds) {
  const auto until = Clock::now() + 10s;
  while (!holds(directory.Latest())) {
    if (Clock::now() > until)
      return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

const DacInfo* Find(const Snapshot& snapshot, const std::string& name) {
  for (const DacInfo& dac : snapshot.Devices) {
    if (dac.Name == name)
      return &dac;
  }
  return nullptr;
}

// Lists what the test puts in it; tells the directory of each change as a
// passive family does; a scan waits until the test lets it finish.
class StandInFamily : public output::DacFamily {
 public:
  std::string Kind() const override { return "Stand-in"; }
  std::vector<DacInfo> Devices() override {
    std::lock_guard lock(mutex_);
    return devices_;
  }
  std::unique_ptr<output::DacDriver> MakeDriver(const DacInfo&) override { return nullptr; }
  void WatchChanges(std::function<void()> changed) override { changed_ = std::move(changed); }
  void Scan() override {
    scanStarted.set_value();
    scanMayEnd.wait_for(10s);
  }
  std::optional<std::string> AddAddress(const std::string& text) override {
    std::lock_guard lock(mutex_);
    added.push_back(text);
    return text;
  }

  void Hear(std::vector<DacInfo> devices) {
    {
      std::lock_guard lock(mutex_);
      devices_ = std::move(devices);
    }
    changed_();
  }

  std::promise<void> scanStarted;
  std::shared_future<void> scanMayEnd;
  std::vector<std::string> added;  // read once the directory has stopped

 private:
  std::mutex mutex_;
  std::vector<DacInfo> devices_;
  std::function<void()> changed_;
};

DacInfo HeardUnit(const std::string& name, Clock::time_point at) {
  DacInfo dac;
  dac.Name = name;
  dac.Kind = "Stand-in";
  dac.Address = "127.0.0.1:1";
  dac.HeardAt = at;
  return dac;
}

TEST(DeviceDirectory, AUnitHeardGoesQuietThenLeavesWithNoFurtherNews) {
  DirectoryLimits limits;
  limits.QuietAfter = 200ms;
  limits.ForgetAfter = 1500ms;
  DeviceDirectory directory(limits);
  auto owned = std::make_unique<StandInFamily>();
  StandInFamily& family = *owned;
  directory.AddFamily(std::move(owned));
  std::atomic<int> told{0};
  directory.Start([&] { ++told; });

  family.Hear({HeardUnit("Stand-in one", Clock::now())});
  ASSERT_TRUE(WaitFor(directory, [](const Snapshot& s) {
    const DacInfo* one = Find(s, "Stand-in one");
    return one != nullptr && one->State == DeviceState::Idle;
  }));
  // No news any more: the directory notices the silence by itself.
  ASSERT_TRUE(WaitFor(directory, [](const Snapshot& s) {
    const DacInfo* one = Find(s, "Stand-in one");
    return one != nullptr && one->State == DeviceState::Unreachable;
  }));
  ASSERT_TRUE(WaitFor(directory, [](const Snapshot& s) { return s.Devices.empty(); }));
  EXPECT_EQ(static_cast<std::uint64_t>(told.load()), directory.Latest().Version);
}

TEST(DeviceDirectory, ListsAtMostTheBoundAndOnlyShowableUniqueNames) {
  DirectoryLimits limits;
  limits.MaxPerFamily = 5;
  DeviceDirectory directory(limits);
  auto owned = std::make_unique<StandInFamily>();
  StandInFamily& family = *owned;
  directory.AddFamily(std::move(owned));
  directory.Start({});

  std::vector<DacInfo> flood;
  for (int i = 0; i < 300; ++i)
    flood.push_back(HeardUnit("Stand-in " + std::to_string(i), Clock::now()));
  // A right-to-left override would show "evil-rtl" as "ltr-live"; the
  // escape code would recolour a terminal; a second unit takes its name.
  flood[0].Name = "Stand-in evil-\u202Eltr\n\x1b[31m";
  flood[1].Name = flood[0].Name;
  family.Hear(flood);
  ASSERT_TRUE(WaitFor(directory, [](const Snapshot& s) { return !s.Devices.empty(); }));
  const Snapshot snapshot = directory.Latest();
  ASSERT_EQ(snapshot.Devices.size(), 5u);
  EXPECT_EQ(snapshot.Devices[0].Name, "Stand-in evil-ltr [31m");
  EXPECT_EQ(snapshot.Devices[1].Name, "Stand-in evil-ltr [31m (127.0.0.1:1)");
}

TEST(DeviceDirectory, RequestsReturnAtOnceWhileAScanIsUnderWay) {
  DirectoryLimits limits;
  limits.MailboxSize = 2;
  DeviceDirectory directory(limits);
  auto owned = std::make_unique<StandInFamily>();
  StandInFamily& family = *owned;
  std::promise<void> endScan;
  family.scanMayEnd = endScan.get_future().share();
  std::future<void> scanStarted = family.scanStarted.get_future();
  directory.AddFamily(std::move(owned));
  directory.Start({});

  EXPECT_TRUE(directory.RequestScan());
  ASSERT_EQ(scanStarted.wait_for(10s), std::future_status::ready);
  // The family's scan still waits: every request is answered meanwhile.
  EXPECT_TRUE(WaitFor(directory, [](const Snapshot& s) { return s.Scanning; }));
  EXPECT_TRUE(directory.RequestAddAddresses("Stand-in", {"127.0.0.1:1"}));
  EXPECT_TRUE(directory.RequestAddAddresses("Stand-in", {"127.0.0.1:2"}));
  EXPECT_FALSE(directory.RequestAddAddresses("Stand-in", {"127.0.0.1:3"})) << "mailbox unbounded";
  endScan.set_value();
  ASSERT_TRUE(WaitFor(directory, [](const Snapshot& s) { return s.ScansDone == 1; }));
  directory.Stop();
  EXPECT_EQ(family.added, (std::vector<std::string>{"127.0.0.1:1", "127.0.0.1:2"}));
}

// The Ether Dream family on ports of its own, with the emulator announcing
// itself to them.
class EtherDreamDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    auto family = std::make_unique<lasers::EtherDreamFamily>(
        lasers::EtherDreamFamily::Ports{listenPort_, tcpPort_});
    family_ = family.get();
    directory_.AddFamily(std::move(family));
    directory_.Start({});
  }
  void TearDown() override { directory_.Stop(); }

  std::unique_ptr<emulators::EmulatorProcess> Unit(bool announcing) {
    std::vector<std::string> args = {"--etherdream", "--port", std::to_string(tcpPort_)};
    if (announcing)
      args.insert(args.end(),
                  {"--announce-to", "127.0.0.1", "--announce-port", std::to_string(listenPort_)});
    auto unit =
        std::make_unique<emulators::EmulatorProcess>(WHORLGEN_DAC_EMULATOR, args, dir_ / "stats");
    EXPECT_TRUE(unit->Started());
    return unit;
  }

  DeviceState StateOf(const std::string& name) {
    const Snapshot snapshot = directory_.Latest();
    const DacInfo* dac = Find(snapshot, name);
    return dac != nullptr ? dac->State : DeviceState::NotChecked;
  }

  testing::TempDir temp_;
  const std::filesystem::path dir_ = temp_.Path();
  std::uint16_t tcpPort_ = emulators::FreeLoopbackPort(SOCK_STREAM);
  std::uint16_t listenPort_ = emulators::FreeLoopbackPort(SOCK_DGRAM);
  DeviceDirectory directory_{[] {
    DirectoryLimits limits;
    limits.QuietAfter = 1500ms;  // a unit announces once a second
    return limits;
  }()};
  lasers::EtherDreamFamily* family_ = nullptr;
};

TEST_F(EtherDreamDirectory, AFloodOfForgedAnnouncementsStaysBoundedAndKeepsTheRealUnit) {
  auto unit = Unit(true);
  ASSERT_TRUE(WaitFor(
      directory_, [](const Snapshot& s) { return Find(s, "Ether Dream 3a:4f:12") != nullptr; }));

  // 5000 announcements, each from a MAC address of its own.
  const int sender = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(listenPort_);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 5000; ++i) {
    std::uint8_t packet[36] = {0x02,
                               0x00,
                               0x00,
                               static_cast<std::uint8_t>(i >> 16),
                               static_cast<std::uint8_t>(i >> 8),
                               static_cast<std::uint8_t>(i)};
    sendto(sender, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (i % 100 == 99)
      std::this_thread::sleep_for(1ms);  // within the socket's buffer
  }
  close(sender);

  ASSERT_TRUE(WaitFor(directory_, [](const Snapshot& s) { return !s.Problems.empty(); }))
      << "fewer than the bound arrived, or the excess went untold";
  std::this_thread::sleep_for(200ms);
  const Snapshot snapshot = directory_.Latest();
  EXPECT_LE(snapshot.Devices.size(), output::kMaxUnitsPerFamily);
  EXPECT_NE(Find(snapshot, "Ether Dream 3a:4f:12"), nullptr);
  EXPECT_NE(snapshot.Problems[0].find("ignored"), std::string::npos) << snapshot.Problems[0];
}

// A unit heard announcing and also added by address stops announcing but
// still answers: the scan's answer is the fresher word.
TEST_F(EtherDreamDirectory, AProbeThatReachesTheUnitOutranksItsOldAnnouncement) {
  const std::string name = "Ether Dream 3a:4f:12";
  auto unit = Unit(true);
  ASSERT_TRUE(
      directory_.RequestAddAddresses("Ether Dream", {"127.0.0.1:" + std::to_string(tcpPort_)}));
  ASSERT_TRUE(WaitFor(directory_, [&](const Snapshot& s) { return Find(s, name) != nullptr; }));
  unit.reset();
  unit = Unit(false);
  ASSERT_TRUE(WaitFor(directory_,
                      [&](const Snapshot&) { return StateOf(name) == DeviceState::Unreachable; }));
  directory_.RequestScan();
  ASSERT_TRUE(WaitFor(directory_, [](const Snapshot& s) { return s.ScansDone == 1; }));
  EXPECT_EQ(StateOf(name), DeviceState::Idle);
  EXPECT_EQ(unit->Stop()["connections"], "1");
}

}  // namespace
}  // namespace whorlgen::discovery
