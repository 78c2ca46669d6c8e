#include "ui/show_setup.h"

#include <algorithm>

#include "ui/dac_list.h"
#include "ui/settings_file.h"

namespace whorlgen::ui {

namespace {
constexpr char kOutputsKey[] = "show/outputs";
}  // namespace

std::vector<std::string> FurtherOutputsFrom(const QStringList& written) {
  std::vector<std::string> names;
  for (const QString& entry : written) {
    const std::string name = entry.trimmed().toStdString();
    if (name.empty() || IsLibraryDac(name) ||
        std::find(names.begin(), names.end(), name) != names.end())
      continue;
    if (names.size() == output::kMostFurtherOutputs)
      break;
    names.push_back(name);
  }
  return names;
}

ShowSetup::ShowSetup()
    : further_(FurtherOutputsFrom(OpenSettings()->value(kOutputsKey).toStringList())) {}

QString ShowSetup::SetFurtherOutputs(std::vector<std::string> names) {
  QStringList written;
  for (const std::string& name : names)
    written << QString::fromStdString(name);
  further_ = FurtherOutputsFrom(written);
  written.clear();
  for (const std::string& name : further_)
    written << QString::fromStdString(name);
  auto settings = OpenSettings();
  if (written.isEmpty())
    settings->remove(kOutputsKey);
  else
    settings->setValue(kOutputsKey, written);
  settings->sync();
  if (settings->status() != QSettings::NoError || !SettingsFileProblem().isEmpty())
    return "The settings file " + SettingsFilePath() + " cannot be written.";
  return {};
}

std::vector<std::string> ShowSetup::OutputsWith(const std::string& dacName) const {
  std::vector<std::string> names{dacName};
  for (const std::string& name : further_) {
    if (name != dacName)
      names.push_back(name);
  }
  return names;
}

std::string ShowSetup::Note(const std::string& dacName) const {
  const std::size_t count = OutputsWith(dacName).size();
  return count > 1 ? std::to_string(count) + " projectors" : std::string();
}

std::size_t ShowSetup::Began(output::ShowBoard board, std::vector<std::string> names,
                             std::vector<output::ProjectorProfile> profiles) {
  board_ = std::move(board);
  names_ = std::move(names);
  profiles_ = std::move(profiles);
  const auto followed = std::find(names_.begin(), names_.end(), viewed_);
  const std::size_t index =
      followed == names_.end() ? 0 : static_cast<std::size_t>(followed - names_.begin());
  board_->SetViewed(index);
  return index;
}

output::ProjectorProfile ShowSetup::View(std::size_t index) {
  if (index >= names_.size())
    return output::NeutralProfile();
  viewed_ = names_[index];
  if (board_)
    board_->SetViewed(index);
  return profiles_[index];
}

}  // namespace whorlgen::ui
