#pragma once
// An installation check that needs no display and no hands: the window runs
// the start-up figure on one DAC for a moment, exactly as a click on "Start"
// and then on "Stop" would, and says what went out.

#include <QString>
#include <chrono>

namespace whorlgen::ui {

class FrmWhorlgen;

// Runs the figure on `dacName` for `duration`, answers every message box the
// run shows (and prints it), then prints the frames sent and where each
// device library was loaded from. A DAC not listed yet is waited for (it may
// announce itself, or answer the scan asked for) up to `discoveryWait`.
// Returns the process's exit status: 0 when frames went out with no message
// for the operator, 1 otherwise, 2 when no DAC of that name is listed then
// (the DACs that are listed are printed).
int RunSelfTest(FrmWhorlgen& window, const QString& dacName, std::chrono::milliseconds duration,
                std::chrono::milliseconds discoveryWait = std::chrono::seconds(5));

}  // namespace whorlgen::ui
