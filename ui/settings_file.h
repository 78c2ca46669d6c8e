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

// Empty, or why the file is neither read nor written: it is there but is
// not a regular file of reasonable size (a pipe, a link to a device).
QString SettingsFileProblem();

// The file as INI through QSettings; written back when the object goes.
// When the file is not one to read, the object reads nothing and writes
// nowhere: the program starts with the defaults and says why.
std::unique_ptr<QSettings> OpenSettings();

}  // namespace whorlgen::ui
