#include "engine/frame_generator.h"

#include <gtest/gtest.h>

namespace whorlgen::engine {
namespace {

TEST(BuildFrame, FirstPointAfterStartUnlimited) {
  PatternParameters p = StartupParameters();
  GeneratorState s;
  FrameData f;
  BuildFrame(p, s, 1, false, f);
  ASSERT_EQ(f.FrameBuffer.size(), 500u);
  EXPECT_EQ(f.FrameBuffer[0].X, 2560);
  EXPECT_EQ(f.FrameBuffer[0].Y, 2048);
}

}  // namespace
}  // namespace whorlgen::engine
