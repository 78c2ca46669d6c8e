#pragma once
// The two ways the panel shows a number beside a scroll bar.

#include <QLocale>
#include <QString>

namespace whorlgen::ui {

// Plain decimal digits with a leading '-' when negative: no blank, no grouping.
QString IntegerText(int value);

// The value rounded to at most 15 significant digits, never in exponent form,
// with trailing zeros and a trailing decimal separator removed ("25", "24.6",
// "0.3125", "30.060120240481"). The separator is the locale's.
QString DecimalText(double value, const QLocale& locale = QLocale());

}  // namespace whorlgen::ui
