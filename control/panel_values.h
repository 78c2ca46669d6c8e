#pragma once
// The panel's bars at the program's edge (engine/panel_bars.h), with what
// the remote surfaces need beyond them.

#include <string>
#include <string_view>
#include <vector>

#include "control/command.h"
#include "engine/panel_bars.h"

namespace whorlgen::control {

using engine::EdgeNumber;
using engine::FindPanelBar;
using engine::PanelBar;
using engine::PanelBars;
using engine::PositionForShown;
using engine::ShownValue;
using engine::ShownValueIsWhole;

// The positions each bar can take, for the window's door.
std::vector<BarRange> PanelBarRanges();

// The panel's caption of a control touched or bound by a remote surface:
// "X Freq", "Start", "Stop", "Mode 4"; the name itself for anything else.
std::string TargetCaption(std::string_view target);

}  // namespace whorlgen::control
