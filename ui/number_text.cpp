#include "ui/number_text.h"

#include <algorithm>
#include <charconv>

namespace whorlgen::ui {

namespace {

constexpr int kSignificantDigits = 15;

// Power of ten of the leading digit once the value is rounded to 15
// significant digits (9.99999999999999999 rounds up to 10 and gives 1).
int DecimalExponentAfterRounding(double value) {
  char text[40];
  const char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific,
                                  kSignificantDigits - 1)
                        .ptr;
  const char* exponent =
      std::find(static_cast<const char*>(text), end, 'e') + 1;  // "d.dddde+XX" or "d.dddde-XX"
  if (*exponent == '+') {
    ++exponent;
  }
  int power = 0;
  std::from_chars(exponent, end, power);
  return power;
}

}  // namespace

QString IntegerText(int value) {
  return QString::number(value);
}

QString DecimalText(double value, const QLocale& locale) {
  if (value == 0.0) {
    value = 0.0;  // no "-0"
  }
  // Fixed notation with as many decimals as the 15th significant digit needs;
  // 'g' would switch to exponent form below 0.0001 and from 10^15 on.
  const int decimals =
      value == 0.0 ? 0 : std::max(0, kSignificantDigits - 1 - DecimalExponentAfterRounding(value));
  // ASCII digits, as the integer labels show them, whatever digits the locale
  // has; only the separator is the locale's.
  QString text = QString::number(value, 'f', decimals);
  if (decimals > 0) {
    while (text.endsWith(u'0')) {
      text.chop(1);
    }
    if (text.endsWith(u'.')) {
      text.chop(1);
    }
  }
  return text.replace(u'.', locale.decimalPoint());
}

}  // namespace whorlgen::ui
