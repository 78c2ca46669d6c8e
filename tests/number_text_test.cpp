#include "ui/number_text.h"

#include <gtest/gtest.h>

#include <QLocale>

#include "tests/ui_qstring_printer.h"

namespace whorlgen::ui {
namespace {

const QLocale kC(QLocale::C);

TEST(DecimalText, PanelValuesWithoutExponentOrTrailingZeros) {
  EXPECT_EQ(DecimalText(25.0, kC), "25");
  EXPECT_EQ(DecimalText(24.6, kC), "24.6");
  EXPECT_EQ(DecimalText(0.2, kC), "0.2");    // smallest figure frequency step
  EXPECT_EQ(DecimalText(200.0, kC), "200");  // highest figure frequency
  EXPECT_EQ(DecimalText(0.0, kC), "0");
  EXPECT_EQ(DecimalText(-0.0, kC), "0");
  EXPECT_EQ(DecimalText(96.0, kC), "96");  // 48000 / 500
  EXPECT_EQ(DecimalText(48000.0, kC), "48000");
}

TEST(DecimalText, FrameRatesRoundToFifteenSignificantDigits) {
  EXPECT_EQ(DecimalText(5000.0 / 16000.0, kC), "0.3125");
  EXPECT_EQ(DecimalText(15000.0 / 499.0, kC), "30.060120240481");  // ...0480962 rounded, 0 dropped
  EXPECT_EQ(DecimalText(15000.0 / 500.0, kC), "30");
  EXPECT_EQ(DecimalText(5000.0 / 15999.0, kC), "0.312519532470779");
  EXPECT_EQ(DecimalText(0.1 + 0.2, kC), "0.3");  // 0.30000000000000004 beyond 15 digits
  EXPECT_EQ(DecimalText(2.0 / 3.0, kC), "0.666666666666667");
  EXPECT_EQ(DecimalText(9.9999999999999995, kC), "10");  // rounding carries into a new digit
}

TEST(DecimalText, StaysPlainWhereExponentFormWouldBegin) {
  EXPECT_EQ(DecimalText(0.0001, kC), "0.0001");
  EXPECT_EQ(DecimalText(0.00001234, kC), "0.00001234");
  EXPECT_EQ(DecimalText(1e15, kC), "1000000000000000");
  EXPECT_EQ(DecimalText(-12.5, kC), "-12.5");
}

TEST(DecimalText, UsesTheLocaleSeparatorAndNoGrouping) {
  const QLocale german(QLocale::German);
  EXPECT_EQ(DecimalText(24.6, german), "24,6");
  EXPECT_EQ(DecimalText(0.3125, german), "0,3125");
  EXPECT_EQ(DecimalText(15000.0 / 499.0, german), "30,060120240481");
  EXPECT_EQ(DecimalText(48000.0, german), "48000");
  EXPECT_EQ(DecimalText(15000.5, QLocale(QLocale::English, QLocale::UnitedStates)), "15000.5");
}

// The integer labels show ASCII digits; the decimal ones must not switch to
// the locale's own digits beside them.
TEST(DecimalText, AsciiDigitsWhereTheLocaleHasItsOwn) {
  for (const QLocale& locale :
       {QLocale(QLocale::Arabic, QLocale::Egypt), QLocale(QLocale::Persian, QLocale::Iran)}) {
    EXPECT_EQ(DecimalText(24.6, locale), "24" + locale.decimalPoint() + "6")
        << locale.name().toStdString();
    EXPECT_EQ(DecimalText(48000.0, locale), "48000") << locale.name().toStdString();
  }
}

TEST(IntegerText, DigitsWithSignOnlyWhenNegative) {
  EXPECT_EQ(IntegerText(-45), "-45");
  EXPECT_EQ(IntegerText(0), "0");
  EXPECT_EQ(IntegerText(15000), "15000");
}

}  // namespace
}  // namespace whorlgen::ui
