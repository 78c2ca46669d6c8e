#include "engine/parameters.h"

#include <gtest/gtest.h>

namespace whorlgen::engine {
namespace {

TEST(GainMapping, TieGoesToEvenNeighbour) {
  EXPECT_EQ(GainFromPosition(25), 512);   // 511.75
  EXPECT_EQ(GainFromPosition(50), 1024);  // exactly 1023.5
  EXPECT_EQ(GainFromPosition(75), 1535);  // 1535.25
  EXPECT_EQ(GainFromPosition(100), 2047);
  EXPECT_EQ(GainFromPosition(0), 0);
}

}  // namespace
}  // namespace whorlgen::engine
