#pragma once
// The one per-user settings file: what describes the operator's equipment
// (devices, projector profiles, controller mappings, OSC). The figure itself
// is never stored there: every start begins from the same start-up values.

#include <QSettings>
#include <QString>
#include <memory>

namespace whorlgen::ui {

// $XDG_CONFIG_HOME/whorlgen/whorlgen.conf, or ~/.config/whorlgen/whorlgen.conf
// when the variable is unset or empty.
QString SettingsFilePath();

// The file as INI through QSettings; written back when the object goes.
std::unique_ptr<QSettings> OpenSettings();

}  // namespace whorlgen::ui
