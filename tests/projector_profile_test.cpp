// What a projector profile does to the frames that go to its DAC: geometry,
// colour shift, the beam guard, and nothing at all when neutral.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "output/projector_profile.h"

namespace whorlgen::output {
namespace {

using engine::FrameData;
using engine::LaserPoint;

// Keeps a copy of every frame it is sent, and where it was.
class KeepingDriver final : public DacDriver {
 public:
  DacFailure OpenDac(engine::GeneratorState&) override { return {}; }
  DacFailure SendFrame(const FrameData& frame, std::int32_t) override {
    Sent.push_back(frame.FrameBuffer);
    Addresses.push_back(frame.FrameBuffer.data());
    return {};
  }
  DacFailure CloseDac() override { return {}; }
  std::string StatusNote() const override { return "device note"; }
  std::vector<std::vector<LaserPoint>> Sent;
  std::vector<const LaserPoint*> Addresses;
};

// Keeps the last frame it was shown.
struct KeepingView final : SentFrameView {
  void FrameSent(std::span<const LaserPoint> frame, std::int32_t) override {
    Seen.assign(frame.begin(), frame.end());
  }
  std::vector<LaserPoint> Seen;
};

FrameData Frame(std::vector<LaserPoint> points) {
  FrameData frame;
  frame.FrameBuffer = std::move(points);
  frame.FrameBytes = static_cast<std::int32_t>(frame.FrameBuffer.size() * 8);
  return frame;
}

TEST(ProjectorProfile, LibraryDacsStartNeutralAndSendTheFigureByteForByte) {
  for (const char* name : {"SoundCard", "EZLase", "RIYA"})
    EXPECT_TRUE(IsNeutral(DefaultProfileFor(name))) << name;
  EXPECT_FALSE(IsNeutral(DefaultProfileFor("Ether Dream 3a:4f:12")));
  EXPECT_TRUE(DefaultProfileFor("IDN laser-1").Guard.Enabled);

  auto keeping = std::make_unique<KeepingDriver>();
  KeepingDriver& inner = *keeping;
  KeepingView view;
  ProfiledDacDriver driver(std::move(keeping), DefaultProfileFor("SoundCard"), &view);
  engine::GeneratorState generator;
  FrameData frame;
  for (int i = 0; i < 3; ++i) {
    engine::BuildFrame(engine::StartupParameters(), generator, 2, true, frame);
    ASSERT_FALSE(driver.SendFrame(frame, 15000));
    EXPECT_EQ(inner.Addresses.back(), frame.FrameBuffer.data());
    ASSERT_EQ(inner.Sent.back().size(), frame.FrameBuffer.size());
    EXPECT_EQ(0, std::memcmp(inner.Sent.back().data(), frame.FrameBuffer.data(),
                             frame.FrameBuffer.size() * sizeof(LaserPoint)));
    EXPECT_EQ(view.Seen.size(), frame.FrameBuffer.size());
  }
  EXPECT_EQ(driver.StatusNote(), "device note");
}

TEST(ProjectorProfile, FlipSizeAndOffsetMoveTheOutput) {
  ProjectorProfile profile = NeutralProfile();
  profile.FlipX = true;
  profile.SizeYPercent = 50;
  profile.OffsetXPercent = 10;  // of the field: 409.6 codes
  ProfileTransform transform(profile);
  FrameData out;
  transform.Apply(Frame({{0, 4095, 9, 8, 7, 6}, {2048, 2048, 1, 1, 1, 1}, {4095, 0, 1, 1, 1, 1}}),
                  out);
  // X mirrored about the middle of the range (0 <-> 4095), then moved 409.6
  // codes and clamped; Y halved about 2047.5.
  EXPECT_EQ(out.FrameBuffer[0].X, 4095);
  EXPECT_EQ(out.FrameBuffer[0].Y, 3071);  // 2047.5 + 1023.75 = 3071.25
  EXPECT_EQ(out.FrameBuffer[1].X, 2457);  // 2047 + 409.6 = 2456.6
  EXPECT_EQ(out.FrameBuffer[1].Y, 2048);  // 2047.75
  EXPECT_EQ(out.FrameBuffer[2].X, 410);   // 409.6
  EXPECT_EQ(out.FrameBuffer[2].Y, 1024);  // 1023.75
  EXPECT_EQ(out.FrameBuffer[0].R, 9);     // colour untouched
}

TEST(ProjectorProfile, ColourShiftCarriesAcrossFrames) {
  ProjectorProfile profile = NeutralProfile();
  profile.ColourShiftPoints = 2;
  ProfileTransform transform(profile);
  FrameData out;
  // Each point's channels at levels of their own: 10 to 13, 20 to 23, ...
  const auto point = [](std::int16_t n) {
    const auto level = [n](int channel) { return static_cast<std::uint8_t>(10 * n + channel); };
    return LaserPoint{n, n, level(0), level(1), level(2), level(3)};
  };
  const auto colour = [](const LaserPoint& p) { return std::array{p.R, p.G, p.B, p.I}; };
  transform.Apply(Frame({point(1), point(2), point(3)}), out);
  EXPECT_EQ(colour(out.FrameBuffer[0]), colour({}));  // the run starts dark
  EXPECT_EQ(colour(out.FrameBuffer[1]), colour({}));
  EXPECT_EQ(colour(out.FrameBuffer[2]), colour(point(1)));
  EXPECT_EQ(out.FrameBuffer[2].X, 3);  // position is not delayed
  transform.Apply(Frame({point(4), point(5)}), out);
  EXPECT_EQ(colour(out.FrameBuffer[0]), colour(point(2)));
  EXPECT_EQ(colour(out.FrameBuffer[1]), colour(point(3)));
}

TEST(BeamGuard, BlanksAfterExactlyTheDwellLimitAndReleasesOnMovement) {
  BeamGuard guard;  // 1 % of the field, 50 ms
  // 50 ms at 30000 points per second is 1500 points (whose summed point
  // times come out a hair above 0.05 s), spread over two frames and
  // jittering inside the 40.96-code circle; blue counts as lit as much as white.
  std::vector<LaserPoint> first(1000, LaserPoint{2048, 2048, 0, 0, 255, 29});
  for (std::size_t i = 0; i < first.size(); i += 2)
    first[i].X = 2088;
  EXPECT_EQ(guard.Apply(first, 30000), 0u);
  std::vector<LaserPoint> second(1000, LaserPoint{2048, 2048, 255, 255, 255, 255});
  second[100] = {2048, 2048, 0, 0, 0, 0};  // a dark point adds no lit time
  EXPECT_EQ(guard.Apply(second, 30000), 499u);
  EXPECT_EQ(second[500].R, 255);  // the 1500th lit point
  EXPECT_EQ(second[501].R, 0);
  EXPECT_EQ(second[501].X, 2048);  // blanked where it stands
  EXPECT_TRUE(guard.Blanking());
  std::vector<LaserPoint> moved{{2048, 2048, 9, 9, 9, 9}, {2200, 2048, 9, 9, 9, 9}};
  EXPECT_EQ(guard.Apply(moved, 30000), 1u);
  EXPECT_EQ(moved[1].R, 9);
  EXPECT_FALSE(guard.Blanking());
}

// Both gains at their lowest on a running show: a guarded DAC goes dark
// within the dwell limit and says so; the preview's frame is left alone.
TEST(BeamGuard, LowestGainsBlankAGuardedDac) {
  auto keeping = std::make_unique<KeepingDriver>();
  KeepingDriver& inner = *keeping;
  ProfiledDacDriver driver(std::move(keeping), SafeProfile());
  engine::PatternParameters params = engine::StartupParameters();
  engine::GeneratorState generator;
  FrameData frame;
  engine::BuildFrame(params, generator, 2, true, frame);
  ASSERT_FALSE(driver.SendFrame(frame, params.PointsPerSec));
  EXPECT_EQ(driver.StatusNote(), "device note");
  params.XGain = params.YGain = engine::GainFromPosition(0);
  const int framesIn50Ms = 2;  // 500 points at 15000 per second: 33 ms each
  for (int i = 0; i < framesIn50Ms + 1; ++i) {
    engine::BuildFrame(params, generator, 2, true, frame);
    ASSERT_FALSE(driver.SendFrame(frame, params.PointsPerSec));
  }
  EXPECT_EQ(inner.Sent.back().back().R, 0);
  EXPECT_NE(frame.FrameBuffer.back().R, 0);
  EXPECT_EQ(driver.StatusNote(), kBeamGuardNote);
}

}  // namespace
}  // namespace whorlgen::output
