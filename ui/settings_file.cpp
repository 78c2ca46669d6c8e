#include "ui/settings_file.h"

#include <QDir>
#include <QStandardPaths>

namespace whorlgen::ui {

QString SettingsFilePath() {
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (base.isEmpty())
    base = QDir::homePath() + QStringLiteral("/.config");
  return base + QStringLiteral("/whorlgen/whorlgen.conf");
}

std::unique_ptr<QSettings> OpenSettings() {
  return std::make_unique<QSettings>(SettingsFilePath(), QSettings::IniFormat);
}

}  // namespace whorlgen::ui
