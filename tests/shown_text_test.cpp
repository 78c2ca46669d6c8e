// Text from outside the program, as it is shown.
#include "engine/shown_text.h"

#include <gtest/gtest.h>

namespace whorlgen::engine {
namespace {

TEST(ShownText, NothingHidesReordersOrBreaksTheTextAroundIt) {
  EXPECT_EQ(ShownText("evil-\u202Eltr", 40), "evil-ltr");                       // an override
  EXPECT_EQ(ShownText("a\u2067b\u2069\u200Fc\u061C", 40), "abc");               // isolates, marks
  EXPECT_EQ(ShownText("live\r\n\t\x1b[2Jx\x7f\u0085\u2028", 40), "live [2Jx");  // controls
  EXPECT_EQ(ShownText("a\tb\nc", 40), "a b c");
  EXPECT_EQ(ShownText("\xff\xc3(ok\xe2\x82", 40), "\uFFFD\uFFFD(ok\uFFFD\uFFFD");  // malformed
  EXPECT_EQ(ShownText("\xc0\xaf\xed\xa0\x80", 40),
            "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");  // overlong, surrogate
  EXPECT_EQ(ShownText("  laser-1  ", 40), "laser-1");
  EXPECT_EQ(ShownText("\u00e9t\u00e9 \u4e2d\u6587", 40),
            "\u00e9t\u00e9 \u4e2d\u6587");  // every script
}

TEST(ShownText, ALongTextIsCutInCharactersWithAnEllipsis) {
  EXPECT_EQ(ShownText("beam-1", 6), "beam-1");
  EXPECT_EQ(ShownText("b\u00e9am-12345", 6), "b\u00e9am-\u2026");  // a name keeps its beginning
  EXPECT_EQ(ShownText("\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9", 5, TextCut::Middle),
            "\u00e9\u00e9\u2026\u00e9\u00e9");  // a path keeps both ends
  EXPECT_EQ(ShownText("abc", 0), "");
}

}  // namespace
}  // namespace whorlgen::engine
