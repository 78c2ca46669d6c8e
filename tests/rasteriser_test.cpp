#include "preview/rasteriser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/frame_generator.h"
#include "engine/parameters.h"

namespace whorlgen::preview {
namespace {

using engine::LaserPoint;

LaserPoint Lit(std::int16_t x, std::int16_t y, std::uint8_t r = 255, std::uint8_t g = 255,
               std::uint8_t b = 255) {
  return LaserPoint{x, y, r, g, b, 0};
}

LaserPoint Black(std::int16_t x, std::int16_t y) {
  return LaserPoint{x, y, 0, 0, 0, 255};
}

// Keeps a copy of what was uploaded: the image the picture box would show.
class RecordingUpload final : public PreviewUpload {
 public:
  void Upload(const std::uint32_t* pixels, std::int32_t byteCount) override {
    ++calls;
    shown.assign(pixels, pixels + byteCount / 4);
  }
  int calls = 0;
  std::vector<std::uint32_t> shown;
};

struct LitPixel {
  std::int32_t index;
  std::uint32_t colour;
};

std::vector<LitPixel> LitPixels(const std::vector<std::uint32_t>& image) {
  std::vector<LitPixel> lit;
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (image[i] != 0) {
      lit.push_back({static_cast<std::int32_t>(i), image[i]});
    }
  }
  return lit;
}

bool AllZero(std::span<const std::uint32_t> pixels) {
  return std::all_of(pixels.begin(), pixels.end(), [](std::uint32_t p) { return p == 0; });
}

class Rasteriser : public ::testing::Test {
 protected:
  // Draws and returns the touched list of that frame.
  std::vector<std::int32_t> Draw(std::vector<LaserPoint> frame, bool showDots) {
    renderer.DrawPreview(frame, showDots, upload);
    const auto touched = renderer.TouchedPixels();
    return {touched.begin(), touched.end()};
  }

  PreviewRenderer renderer;
  RecordingUpload upload;
};

TEST(PackRGBTest, PacksRedGreenBlueWithZeroTopByte) {
  EXPECT_EQ(PackRGB(0x12, 0x34, 0x56), 0x00123456u);
  EXPECT_EQ(PackRGB(255, 255, 255), 0x00FFFFFFu);
  EXPECT_EQ(PackRGB(0, 0, 0), 0u);
  EXPECT_EQ(PackRGB(0, 0, 1), 1u);
}

TEST(SetupTest, AllocatesZeroedBuffersAndRejectsUnusableSizes) {
  PreviewRenderer renderer;
  renderer.Setup(245, 245);
  EXPECT_EQ(renderer.PreviewWidth(), 245);
  EXPECT_EQ(renderer.PreviewHeight(), 245);
  EXPECT_EQ(renderer.PreviewByteCount(), 245 * 245 * 4);
  EXPECT_EQ(renderer.PreviewPixels().size(), 245u * 245u);
  EXPECT_TRUE(AllZero(renderer.PreviewPixels()));

  EXPECT_THROW(renderer.Setup(2, 245), std::invalid_argument);
  EXPECT_THROW(renderer.Setup(245, 0), std::invalid_argument);
  EXPECT_THROW(renderer.Setup(40000, 40000), std::invalid_argument);
  EXPECT_EQ(renderer.PreviewWidth(), 245);  // a refused size leaves the old one
}

TEST(SetupTest, DrawingBeforeSetupTouchesNothing) {
  PreviewRenderer renderer;
  RecordingUpload upload;
  std::vector<LaserPoint> frame{Lit(0, 0)};
  renderer.DrawPreview(frame, true, upload);
  EXPECT_EQ(upload.calls, 0);
  EXPECT_EQ(renderer.TouchedCount(), 0u);
}

TEST_F(Rasteriser, LineModeMapsCentreAndCornersWithYUpsideDown) {
  renderer.Setup(245, 245);
  EXPECT_EQ(Draw({Lit(2048, 2048)}, false), std::vector<std::int32_t>{30012});  // (122, 122)
  EXPECT_EQ(Draw({Lit(0, 4095)}, false), std::vector<std::int32_t>{0});         // top left
  EXPECT_EQ(Draw({Lit(4095, 0)}, false), std::vector<std::int32_t>{245 * 245 - 1});
  EXPECT_EQ(Draw({Lit(0, 0)}, false), std::vector<std::int32_t>{244 * 245});  // bottom left
}

TEST_F(Rasteriser, MappingRoundsToTheNearestPixelNotDown) {
  renderer.Setup(245, 245);
  // 10 x 244 / 4095 = 0.596 and (4095 - 4085) x 244 / 4095 likewise.
  EXPECT_EQ(Draw({Lit(10, 4085)}, false), std::vector<std::int32_t>{245 + 1});
  // 8 x 244 / 4095 = 0.477 stays in column 0.
  EXPECT_EQ(Draw({Lit(8, 4095)}, false), std::vector<std::int32_t>{0});
}

TEST_F(Rasteriser, DotModeKeepsAOnePixelMarginAndDrawsTheFirstPointAsAFullBlock) {
  renderer.Setup(245, 245);
  const std::int32_t w = 245;
  // Top left corner lands on (1, 1); the centre comes last, after the eight
  // neighbours in their fixed order.
  const std::int32_t k = 1 * w + 1;
  EXPECT_EQ(Draw({Lit(0, 4095)}, true),
            (std::vector<std::int32_t>{k + 1, k - 1, k + w, k - w, k + 1 + w, k - 1 + w, k + 1 - w,
                                       k - 1 - w, k}));
  // Bottom right corner lands on (243, 243) and the block touches the edge.
  const std::int32_t last = 243 * w + 243;
  const auto corner = Draw({Lit(4095, 0)}, true);
  ASSERT_EQ(corner.size(), 9u);
  EXPECT_EQ(corner.back(), last);
  EXPECT_EQ(*std::max_element(corner.begin(), corner.end()), w * w - 1);
  EXPECT_EQ(LitPixels(upload.shown).size(), 9u);
}

TEST_F(Rasteriser, ShowDotsChangesTheScaleOfTheNextFrame) {
  renderer.Setup(245, 245);
  const std::vector<LaserPoint> frame{Lit(4095, 4095)};
  EXPECT_EQ(Draw(frame, false), std::vector<std::int32_t>{244});
  EXPECT_EQ(Draw(frame, true).back(), 245 + 243);
  EXPECT_EQ(Draw(frame, false), std::vector<std::int32_t>{244});
}

TEST_F(Rasteriser, SteepSegmentRoundsTheWholeIndexSoTiesFollowItsParity) {
  // (0, 0) to (1, 2) in pixels. With width 245 the index 245.5 rounds up to
  // 246 (column 1); with width 244 the index 244.5 rounds down to 244
  // (column 0). The mapping uses the height only for rows, so a tall surface
  // with the right scale gives those pixels directly.
  for (const auto& [width, expected] : {std::pair{245, std::vector<std::int32_t>{0, 246, 491}},
                                        std::pair{244, std::vector<std::int32_t>{0, 244, 489}}}) {
    SCOPED_TRACE(width);
    renderer.Setup(width, 4096);
    // Column 1 needs X x (W - 1) / 4095 to round to 1; X = 17 does for both.
    const std::int16_t x1 = 17;
    EXPECT_EQ(Draw({Lit(0, 4095), Lit(x1, 4093)}, false), expected);
  }
}

TEST_F(Rasteriser, VerticalSegmentTakesTheSteepBranchOnePixelPerRow) {
  renderer.Setup(4096, 4096);
  EXPECT_EQ(
      Draw({Lit(5, 4095 - 10), Lit(5, 4095 - 13)}, false),
      (std::vector<std::int32_t>{10 * 4096 + 5, 11 * 4096 + 5, 12 * 4096 + 5, 13 * 4096 + 5}));
  // Upwards on the screen, the start pixel still left out.
  EXPECT_EQ(Draw({Lit(5, 4095 - 13), Lit(5, 4095 - 11)}, false),
            (std::vector<std::int32_t>{13 * 4096 + 5, 12 * 4096 + 5, 11 * 4096 + 5}));
}

TEST_F(Rasteriser, ShallowSegmentsAndDiagonalsStepAlongColumns) {
  renderer.Setup(4096, 4096);
  const std::int32_t w = 4096;
  auto at = [](std::int16_t c, std::int16_t r) {
    return Lit(c, static_cast<std::int16_t>(4095 - r));
  };
  // (10, 10) to (13, 11): rows 10.33, 10.67, 11.
  EXPECT_EQ(Draw({at(10, 10), at(13, 11)}, false),
            (std::vector<std::int32_t>{10 * w + 10, 10 * w + 11, 11 * w + 12, 11 * w + 13}));
  // (0, 0) to (2, 1): the tie at row 0.5 goes to the even row 0.
  EXPECT_EQ(Draw({at(0, 0), at(2, 1)}, false), (std::vector<std::int32_t>{0, 1, w + 2}));
  // A diagonal, drawn right to left and upwards.
  EXPECT_EQ(Draw({at(3, 3), at(0, 0)}, false),
            (std::vector<std::int32_t>{3 * w + 3, 2 * w + 2, w + 1, 0}));
}

TEST_F(Rasteriser, SegmentsTakeTheirEndPointsColourAndNeverLeaveTheStartPixelLit) {
  renderer.Setup(4096, 4096);
  const std::uint32_t red = PackRGB(255, 0, 0);
  const std::uint32_t blue = PackRGB(0, 0, 255);
  Draw({Lit(0, 4095, 255, 0, 0), Lit(3, 4095, 0, 0, 255)}, false);
  const auto lit = LitPixels(upload.shown);
  ASSERT_EQ(lit.size(), 4u);
  EXPECT_EQ(lit[0].colour, red);  // the first point itself
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(lit[i].colour, blue) << i;
  }
}

TEST_F(Rasteriser, RepeatedPointSetsItsPixelAgainAndRecordsIt) {
  renderer.Setup(245, 245);
  const std::uint32_t green = PackRGB(0, 200, 0);
  Draw({Lit(2048, 2048), Lit(2048, 2048, 0, 200, 0)}, false);
  EXPECT_EQ(renderer.TouchedCount(), 2u);
  EXPECT_EQ(upload.shown[30012], green);  // the last write wins
}

TEST_F(Rasteriser, BlackPointIsNotDrawnButTheNextSegmentStartsFromIt) {
  renderer.Setup(4096, 4096);
  // Lit at column 0, black at column 5, lit at column 8: the black point's
  // pixel stays dark and the segment to the third point covers 6..8 only.
  const auto touched = Draw({Lit(0, 4095), Black(5, 4095), Lit(8, 4095)}, false);
  EXPECT_EQ(touched, (std::vector<std::int32_t>{0, 6, 7, 8}));
  EXPECT_EQ(upload.shown[5], 0u);
  // In dot mode the black point gets no block either.
  const auto dots = Draw({Black(100, 100), Lit(103, 100)}, true);
  EXPECT_EQ(dots.size(), 8u + 3u);
}

TEST_F(Rasteriser, AllBlackAndEmptyFramesUploadABlackImageAndTouchNothing) {
  renderer.Setup(245, 245);
  for (const bool dots : {false, true}) {
    Draw({Black(0, 0), Black(4095, 4095), Black(2048, 2048)}, dots);
    EXPECT_EQ(renderer.TouchedCount(), 0u);
    EXPECT_TRUE(AllZero(upload.shown));
    EXPECT_EQ(upload.shown.size(), 245u * 245u);
  }
  Draw({}, true);
  EXPECT_EQ(upload.calls, 3);
  EXPECT_TRUE(AllZero(upload.shown));
}

TEST_F(Rasteriser, AFailedUploadStillLeavesTheBufferBlack) {
  renderer.Setup(245, 245);
  UploadFunction failing(
      [](const std::uint32_t*, std::int32_t) { throw std::runtime_error("gone"); });
  const std::vector<LaserPoint> frame{Lit(0, 0), Lit(4095, 4095)};
  EXPECT_THROW(renderer.DrawPreview(frame, true, failing), std::runtime_error);
  EXPECT_TRUE(AllZero(renderer.PreviewPixels()));
}

TEST_F(Rasteriser, CodesOutsideTheDacRangeStayInsideTheBuffer) {
  renderer.Setup(245, 245);
  Draw({Lit(-300, 5000), Lit(32767, -32768)}, true);
  EXPECT_EQ(renderer.TouchedPixels().front(), 245 + 2);  // right of (1, 1), as if (0, 4095)
  EXPECT_EQ(renderer.TouchedPixels().back(), 243 * 245 + 243);
  EXPECT_TRUE(AllZero(renderer.PreviewPixels()));
}

TEST_F(Rasteriser, EachFrameShowsAloneOnBlackAndTheBufferIsZeroAfterEveryFrame) {
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> code(0, 4095);
  std::uniform_int_distribution<int> level(0, 255);
  std::bernoulli_distribution dark(0.2);
  for (const auto& [width, height] : {std::pair{245, 245}, std::pair{3, 3}, std::pair{64, 17}}) {
    renderer.Setup(width, height);
    for (int frameNo = 0; frameNo < 60; ++frameNo) {
      std::vector<LaserPoint> frame(static_cast<std::size_t>(1 + frameNo * 17));
      for (auto& p : frame) {
        p = dark(random)
                ? Black(code(random), code(random))
                : Lit(code(random), code(random), level(random), level(random), level(random));
      }
      const bool dots = frameNo % 2 == 1;
      renderer.DrawPreview(frame, dots, upload);
      ASSERT_TRUE(AllZero(renderer.PreviewPixels())) << width << " frame " << frameNo;
      // What was shown is exactly what this frame's writes put there.
      std::vector<std::uint32_t> expected(upload.shown.size(), 0);
      ASSERT_LE(renderer.PixelWriteCount(), PreviewRenderer::kTouchedCapacity);
      for (const std::int32_t k : renderer.TouchedPixels()) {
        ASSERT_GE(k, 0);
        ASSERT_LT(k, width * height);
        expected[static_cast<std::size_t>(k)] = 1;
      }
      for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(upload.shown[i] != 0, expected[i] != 0) << "pixel " << i;
      }
    }
  }
}

TEST_F(Rasteriser, StartupFrameDrawsAConnectedFigure) {
  renderer.Setup(245, 245);
  engine::GeneratorState state;
  engine::FrameData frame;
  engine::BuildFrame(engine::StartupParameters(), state, 2, true, frame);
  renderer.DrawPreview(frame.FrameBuffer, false, upload);
  // Every lit point's segment ends on its own pixel, so consecutive touched
  // pixels are neighbours (the line has no gaps).
  const auto touched = renderer.TouchedPixels();
  ASSERT_GT(touched.size(), 1u);
  for (std::size_t i = 1; i < touched.size(); ++i) {
    const int dc = touched[i] % 245 - touched[i - 1] % 245;
    const int dr = touched[i] / 245 - touched[i - 1] / 245;
    ASSERT_LE(std::max(std::abs(dc), std::abs(dr)), 1) << i;
  }
  EXPECT_TRUE(AllZero(renderer.PreviewPixels()));
}

TEST_F(Rasteriser, OverflowingFrameStaysInsideTheBuffersAndIsClearedWhole) {
  // 16000 lit points jumping between opposite corners: each writes a
  // diagonal of 242 pixels and a block of 8, about four million writes in
  // all, four times what the touched list holds.
  renderer.Setup(245, 245);
  std::vector<LaserPoint> frame;
  for (int i = 0; i < 16000; ++i) {
    frame.push_back(i % 2 == 0 ? Lit(0, 0) : Lit(4095, 4095));
  }
  renderer.DrawPreview(frame, true, upload);
  EXPECT_GT(renderer.PixelWriteCount(), PreviewRenderer::kTouchedCapacity);
  EXPECT_EQ(renderer.TouchedCount(), PreviewRenderer::kTouchedCapacity);
  EXPECT_TRUE(AllZero(renderer.PreviewPixels()));
  // One diagonal of 243 pixels plus the blocks at its ends, less the
  // block pixel at each end that lies on the diagonal.
  EXPECT_EQ(LitPixels(upload.shown).size(), 243u + 2 * 7u);
  // The next frame is back to the touched list.
  EXPECT_EQ(Draw({Lit(2048, 2048)}, false), std::vector<std::int32_t>{30012});
}

// In a buffer of more pixels than the touched list holds, only the overflow
// itself can call for the whole clear: the writes past the list (here the
// second diagonal) are in no list.
TEST_F(Rasteriser, OverflowInABufferLargerThanTheListIsClearedWhole) {
  renderer.Setup(1100, 1100);
  std::vector<LaserPoint> frame;
  for (int i = 0; i < 920; ++i)
    frame.push_back(i % 2 == 0 ? Lit(0, 0) : Lit(4095, 4095));
  for (int i = 0; i < 100; ++i)
    frame.push_back(i % 2 == 0 ? Lit(0, 4095) : Lit(4095, 0));
  renderer.DrawPreview(frame, false, upload);
  ASSERT_GT(renderer.PixelWriteCount(), PreviewRenderer::kTouchedCapacity);
  ASSERT_LT(renderer.PixelWriteCount(), 1100u * 1100u);
  EXPECT_TRUE(AllZero(renderer.PreviewPixels()));
}

}  // namespace
}  // namespace whorlgen::preview
