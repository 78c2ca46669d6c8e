#pragma once
// Projector profiles in the settings file, one group per DAC name:
// [Projectors] <DAC name>\<key>. A DAC with nothing stored has its default
// profile (neutral for the three library DACs, safe for the others).

#include <QSettings>
#include <QString>
#include <string>

#include "output/projector_profile.h"

namespace whorlgen::ui {

output::ProjectorProfile LoadProjectorProfile(QSettings& settings, const std::string& dacName);
void SaveProjectorProfile(QSettings& settings, const std::string& dacName,
                          const output::ProjectorProfile& profile);
// The DAC names that have a stored profile.
QStringList StoredProjectorNames(QSettings& settings);

// The same through the per-user settings file.
output::ProjectorProfile LoadProjectorProfile(const std::string& dacName);

}  // namespace whorlgen::ui
