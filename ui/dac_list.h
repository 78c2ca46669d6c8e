#pragma once
// The panel's DAC list after its three library DACs: one item per device of
// the directory, under a text fitted to the list's fixed width that tells
// the units apart, with the device's full name (the run's DAC name) kept in
// the item and shown with its state in the tooltip.

#include <string>
#include <vector>

#include "output/dac_catalog.h"

class QListWidget;
class QListWidgetItem;

namespace whorlgen::ui {

inline constexpr int kLibraryDacs = 3;  // "SoundCard", "EZLase", "RIYA" stay on top

bool IsLibraryDac(const std::string& name);

// The DAC an item stands for: a device's full name, or the item's own text.
std::string DacNameOf(const QListWidgetItem* item);

// Replaces the items after the library DACs with `dacs` and then, when
// given, `missing`: a chosen device that is no longer listed, greyed and in
// italics, its tooltip saying so. The list's selection is left to the caller.
void FillDacList(QListWidget& list, const std::vector<output::DacInfo>& dacs,
                 const output::DacInfo* missing);

}  // namespace whorlgen::ui
