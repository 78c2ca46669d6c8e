#pragma once
// The control panel as data: every control of the window with its place,
// size, tab index, range and design-time state. The window is built from
// this table and from nothing else.

#include <cstdint>
#include <span>

namespace whorlgen::ui {

// Places and sizes are in twips, 15 to a pixel, from the top-left corner of
// the client area.
inline constexpr int kTwipsPerPixel = 15;
inline constexpr int kClientWidthTwips = 10395;  // 693 pixels
inline constexpr int kClientHeightTwips = 8985;  // 599 pixels

constexpr int PixelsFromTwips(int twips) {
  return twips / kTwipsPerPixel;
}

enum class ControlKind {
  VerticalScrollBar,
  HorizontalScrollBar,
  Label,
  CommandButton,
  ListBox,
  CheckBox,
  PictureBox,
};

struct ControlSpec {
  const char* Name;
  ControlKind Kind;
  const char* Caption;  // empty where the control has none
  int LeftTwips;
  int TopTwips;
  int WidthTwips;
  int HeightTwips;
  int TabIndex;  // focus moves in ascending order over the controls that take it
  // Scroll bars only. Min is the value at the top (left) end, Max at the
  // bottom (right) end; on the vertical bars Min is the larger number.
  std::int16_t Min = 0;
  std::int16_t Max = 0;
  std::int16_t Value = 0;  // design-time position
  bool BlueCaption = false;
  bool Enabled = true;
  bool Checked = false;  // check boxes
  int VisibleRows = 0;   // list boxes: rows shown without scrolling
};

std::span<const ControlSpec> ControlTable();

}  // namespace whorlgen::ui
