#include "ui/settings_file.h"

#include <QDir>
#include <QFile>
#include <cstdio>

#include "devices/sound_card_settings.h"

namespace whorlgen::ui {

namespace {

// Beneath a device, not a folder: nothing can be read there, and no write
// (nor its lock file) can be made there, whoever runs the program.
constexpr char kNowhere[] = "/dev/null/whorlgen.conf";

}  // namespace

QString SettingsFilePath() {
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (base.isEmpty())
    base = QDir::homePath() + QStringLiteral("/.config");
  return base + QStringLiteral("/whorlgen/whorlgen.conf");
}

QString SettingsFileProblem() {
  const std::string problem =
      devices::SettingsFileProblem(QFile::encodeName(SettingsFilePath()).toStdString());
  if (problem.empty())
    return {};
  return QString::fromStdString(problem) +
         QStringLiteral("; the defaults are used and changes are not saved");
}

std::unique_ptr<QSettings> OpenSettings() {
  const QString problem = SettingsFileProblem();
  if (problem.isEmpty())
    return std::make_unique<QSettings>(SettingsFilePath(), QSettings::IniFormat);
  static bool told = false;
  if (!told) {
    std::fprintf(stderr, "whorlgen: %s\n", problem.toLocal8Bit().constData());
    told = true;
  }
  return std::make_unique<QSettings>(QString::fromLatin1(kNowhere), QSettings::IniFormat);
}

}  // namespace whorlgen::ui
