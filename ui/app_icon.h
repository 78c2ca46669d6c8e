#pragma once

#include <QIcon>

namespace whorlgen::ui {

// The program's own 48 x 48 icon, opaque 24-bit colour: a small harmonograph
// figure on black, drawn at start-up.
QIcon WhorlgenIcon();

}  // namespace whorlgen::ui
