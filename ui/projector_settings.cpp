#include "ui/projector_settings.h"

#include "ui/settings_file.h"

namespace whorlgen::ui {

namespace {
constexpr char kGroup[] = "Projectors";

// A slash would open a group of its own.
QString GroupName(const std::string& dacName) {
  QString name = QString::fromStdString(dacName);
  name.replace('/', '_').replace('\\', '_');
  return name;
}

double ReadNumber(QSettings& s, const char* key, double fallback, double low, double high) {
  bool ok = false;
  const double value = s.value(key).toDouble(&ok);
  // A value out of range or unreadable falls back rather than reaching a DAC.
  return ok && value >= low && value <= high ? value : fallback;
}

bool ReadFlag(QSettings& s, const char* key, bool fallback) {
  return s.contains(key) ? s.value(key).toBool() : fallback;
}
}  // namespace

output::ProjectorProfile LoadProjectorProfile(QSettings& s, const std::string& dacName) {
  const output::ProjectorProfile d = output::DefaultProfileFor(dacName);
  output::ProjectorProfile p = d;
  s.beginGroup(kGroup);
  s.beginGroup(GroupName(dacName));
  p.ScannerRatingPps = ReadNumber(s, "ScannerRatingPps", d.ScannerRatingPps, 1000, 200000);
  p.ScanAngleDeg = ReadNumber(s, "ScanAngleDeg", d.ScanAngleDeg, 1, 90);
  p.SizeXPercent = ReadNumber(s, "SizeXPercent", d.SizeXPercent, 0, 100);
  p.SizeYPercent = ReadNumber(s, "SizeYPercent", d.SizeYPercent, 0, 100);
  p.OffsetXPercent = ReadNumber(s, "OffsetXPercent", d.OffsetXPercent, -50, 50);
  p.OffsetYPercent = ReadNumber(s, "OffsetYPercent", d.OffsetYPercent, -50, 50);
  p.FlipX = ReadFlag(s, "FlipX", d.FlipX);
  p.FlipY = ReadFlag(s, "FlipY", d.FlipY);
  p.ColourShiftPoints =
      static_cast<std::int32_t>(ReadNumber(s, "ColourShiftPoints", d.ColourShiftPoints, 0, 1000));
  p.Guard.Enabled = ReadFlag(s, "GuardEnabled", d.Guard.Enabled);
  p.Guard.RadiusFraction =
      ReadNumber(s, "GuardRadiusPercent", d.Guard.RadiusFraction * 100, 0.1, 10) / 100;
  p.Guard.DwellLimitMs = ReadNumber(s, "GuardDwellMs", d.Guard.DwellLimitMs, 1, 1000);
  s.endGroup();
  s.endGroup();
  return p;
}

void SaveProjectorProfile(QSettings& s, const std::string& dacName,
                          const output::ProjectorProfile& p) {
  s.beginGroup(kGroup);
  s.beginGroup(GroupName(dacName));
  s.setValue("ScannerRatingPps", p.ScannerRatingPps);
  s.setValue("ScanAngleDeg", p.ScanAngleDeg);
  s.setValue("SizeXPercent", p.SizeXPercent);
  s.setValue("SizeYPercent", p.SizeYPercent);
  s.setValue("OffsetXPercent", p.OffsetXPercent);
  s.setValue("OffsetYPercent", p.OffsetYPercent);
  s.setValue("FlipX", p.FlipX);
  s.setValue("FlipY", p.FlipY);
  s.setValue("ColourShiftPoints", p.ColourShiftPoints);
  s.setValue("GuardEnabled", p.Guard.Enabled);
  s.setValue("GuardRadiusPercent", p.Guard.RadiusFraction * 100);
  s.setValue("GuardDwellMs", p.Guard.DwellLimitMs);
  s.endGroup();
  s.endGroup();
}

QStringList StoredProjectorNames(QSettings& s) {
  s.beginGroup(kGroup);
  QStringList names = s.childGroups();
  s.endGroup();
  return names;
}

output::ProjectorProfile LoadProjectorProfile(const std::string& dacName) {
  auto settings = OpenSettings();
  return LoadProjectorProfile(*settings, dacName);
}

}  // namespace whorlgen::ui
