#include "ui/control_table.h"

#include <array>
#include <cstddef>

namespace whorlgen::ui {

namespace {

using enum ControlKind;

constexpr ControlSpec Control(const char* name, ControlKind kind, const char* caption, int left,
                              int top, int width, int height, int tabIndex) {
  return ControlSpec{name, kind, caption, left, top, width, height, tabIndex};
}

constexpr ControlSpec ScrollBar(const char* name, ControlKind kind, int left, int top, int width,
                                int height, int tabIndex, std::int16_t min, std::int16_t max,
                                std::int16_t value) {
  ControlSpec spec = Control(name, kind, "", left, top, width, height, tabIndex);
  spec.Min = min;
  spec.Max = max;
  spec.Value = value;
  return spec;
}

constexpr ControlSpec Blue(ControlSpec spec) {
  spec.BlueCaption = true;
  return spec;
}

constexpr ControlSpec Disabled(ControlSpec spec) {
  spec.Enabled = false;
  return spec;
}

constexpr ControlSpec Checked(ControlSpec spec) {
  spec.Checked = true;
  return spec;
}

constexpr ControlSpec ShowingRows(int rows, ControlSpec spec) {
  spec.VisibleRows = rows;
  return spec;
}

// clang-format off
constexpr std::array kControls{
    //        name                 kind                 left   top  width height tab   Min    Max  Value
    ScrollBar("scrXGain",          VerticalScrollBar,    480,  840,  255, 2895,   2,   100,     0,    25),
    ScrollBar("scrYGain",          VerticalScrollBar,   1200,  840,  255, 2895,   3,   100,     0,    25),
    ScrollBar("scrXFreq",          VerticalScrollBar,   2160,  840,  255, 2895,   4,  1000,     0,    55),
    ScrollBar("scrYFreq",          VerticalScrollBar,   2880,  840,  255, 2895,   5,  1000,     0,    55),
    ScrollBar("scrZFreq",          VerticalScrollBar,   3600,  840,  255, 2895,  33,  1000,     0,    55),
    ScrollBar("scrXRot",           VerticalScrollBar,   4440,  840,  255, 2895,  36,    90,   -90,     0),
    ScrollBar("scrYRot",           VerticalScrollBar,   5160,  840,  255, 2895,  37,    90,   -90,     0),
    ScrollBar("scrRFreq",          VerticalScrollBar,   6120,  840,  255, 2895,   6,  1000,     0,    50),
    ScrollBar("scrGFreq",          VerticalScrollBar,   6720,  840,  255, 2895,   7,  1000,     0,    55),
    ScrollBar("scrBFreq",          VerticalScrollBar,   7320,  840,  255, 2895,   8,  1000,     0,    60),
    ScrollBar("scrRepPoints",      VerticalScrollBar,   8160,  840,  255, 2895,  30,    30,     0,     0),
    ScrollBar("scrPointsPerSec",   VerticalScrollBar,   8880,  840,  255, 2895,   0, 24000,  2500, 24000),
    ScrollBar("scrPointsPerFrame", VerticalScrollBar,   9600,  840,  255, 2895,   1, 16000,   500,  2400),
    ScrollBar("scrXPhase",         HorizontalScrollBar,  480, 4320, 2775,  255,  43,   -90,    90,     0),

    //      name               kind    caption                   left   top  width height tab
    Control("lblXGain",        Label,  "X Gain",                  360,  120,  495,  255,  10),
    Control("lblYGain",        Label,  "Y Gain",                 1080,  120,  495,  255,  11),
    Blue(Control("lblXFreq",   Label,  "X Freq",                 2040,  120,  495,  255,  12)),
    Blue(Control("lblYFreq",   Label,  "Y Freq",                 2760,  120,  495,  255,  13)),
    Blue(Control("lblZFreq",   Label,  "Z Freq",                 3480,  120,  615,  255,  34)),
    Control("lblXRot",         Label,  "X Rotation",             4080,  120,  855,  255,  38),
    Control("lblYRot",         Label,  "Y Rotation",             5040,  120,  855,  255,  39),
    Control("lblRFreq",        Label,  "R Freq",                 6000,  120,  495,  255,  14),
    Control("lblGFreq",        Label,  "G Freq",                 6600,  120,  495,  255,  15),
    Control("lblBFreq",        Label,  "B Freq",                 7200,  120,  495,  255,  16),
    Control("lblRepPoints",    Label,  "Repeat Pts",             7800,  120,  855,  255,  31),
    Control("lblPPS",          Label,  "PPSec",                  8760,  120,  495,  255,  17),
    Control("lblPPF",          Label,  "PPFrame",                9360,  120,  735,  255,  18),
    Control("lblXGainV",       Label,  "25",                      480,  480,  375,  255,  19),
    Control("lblYGainV",       Label,  "25",                     1200,  480,  375,  255,  20),
    Control("lblXFreqV",       Label,  "55",                     2160,  480,  495,  255,  21),
    Control("lblYFReqV",       Label,  "55",                     2880,  480,  495,  255,  22),
    Control("lblZFreqV",       Label,  "0",                      3600,  480,  495,  255,  35),
    Control("lblXRotV",        Label,  "0",                      4440,  480,  255,  255,  40),
    Control("lblYRotV",        Label,  "0",                      5160,  480,  255,  255,  41),
    Control("lblRFreqV",       Label,  "50",                     6120,  480,  375,  255,  23),
    Control("lblGFreqV",       Label,  "55",                     6720,  480,  375,  255,  24),
    Control("lblBFreqV",       Label,  "60",                     7320,  480,  375,  255,  25),
    Control("lblRepPointsV",   Label,  "0",                      8280,  480,  255,  255,  32),
    Control("lblPPSV",         Label,  "48000",                  8760,  480,  495,  255,  26),
    Control("lblPPFV",         Label,  "2400",                   9480,  480,  495,  255,  27),
    Control("lblXPhase",       Label,  "X Phase",                1320, 3960,  735,  255,  44),
    Control("lblXPhaseV",      Label,  "0",                      2160, 3960,  375,  255,  45),
    Control("lblFrameRate",    Label,  "Frame Rate = ",          8520, 4080, 1095,  255,  28),
    Control("lblFrameRateV",   Label,  "20",                     9720, 4080,  495,  255,  29),
    Control("lblTotalFrames",  Label,  "Total Frames =",         7920, 4560, 1215,  255,  51),
    Control("lblTotalFramesV", Label,  "",                       9240, 4560,  975,  255,  52),
    Control("lblDACSelect",    Label,  "DAC Output Selection",    360, 4920, 1575,  255,  54),
    Blue(Control("lblOpMode",  Label,  "XYZ Oprerational Mode",  7800, 5520, 1815,  255,  47)),

    //                     name                kind           caption          left   top  width height tab
    Disabled(Control(      "cmdStop",          CommandButton, "Stop",          3840, 4080, 1215,  495,  42)),
    Control(               "cmdStart",         CommandButton, "Start",         5640, 4080, 1215,  495,   9),
    Control(               "picPreview",       PictureBox,    "",              3000, 4920, 3735, 3735,  46),
    ShowingRows(3, Control("lstDACSelect",     ListBox,       "",               600, 5280, 1095,  645,  53)),
    ShowingRows(6, Control("lstOpMode",        ListBox,       "",              8280, 6000,  735, 1230,  55)),
    Control(               "chkILDAout",       CheckBox,      "ILDA Output",    600, 6360, 1215,  495,  50),
    Checked(Control(       "chkLimitVelocity", CheckBox,      "Limit Velocity", 600, 6960, 1215,  495,  49)),
    Control(               "chkShowDots",      CheckBox,      "Show Dots",      600, 7560, 1215,  495,  48),
};
// clang-format on

// Every place and size is a whole number of pixels, and inside the client area.
constexpr bool AllOnPixelsInsideClientArea() {
  for (const ControlSpec& c : kControls) {
    for (int twips : {c.LeftTwips, c.TopTwips, c.WidthTwips, c.HeightTwips}) {
      if (twips % kTwipsPerPixel != 0) {
        return false;
      }
    }
    if (c.LeftTwips + c.WidthTwips > kClientWidthTwips ||
        c.TopTwips + c.HeightTwips > kClientHeightTwips) {
      return false;
    }
  }
  return true;
}
static_assert(kClientWidthTwips % kTwipsPerPixel == 0 && kClientHeightTwips % kTwipsPerPixel == 0);
static_assert(AllOnPixelsInsideClientArea());

// Each tab index 0 .. N-1 is used exactly once, so the tab order is total.
constexpr bool TabIndicesArePermutation() {
  std::array<bool, kControls.size()> used{};
  for (const ControlSpec& c : kControls) {
    if (c.TabIndex < 0 || static_cast<std::size_t>(c.TabIndex) >= used.size() ||
        used[static_cast<std::size_t>(c.TabIndex)]) {
      return false;
    }
    used[static_cast<std::size_t>(c.TabIndex)] = true;
  }
  return true;
}
static_assert(TabIndicesArePermutation());

}  // namespace

std::span<const ControlSpec> ControlTable() {
  return kControls;
}

}  // namespace whorlgen::ui
