#pragma once
// The Devices window's "Projectors" page: one projector profile per DAC,
// edited in place and written to the settings file at every change. A run
// takes the profile of its DAC when it starts.

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "output/projector_profile.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QSpinBox;

namespace whorlgen::ui {

class ProjectorsPage : public QWidget {
  Q_OBJECT

 public:
  // dacNames lists the DACs the panel knows now; pointsPerSec is the
  // panel's point rate, for the suggested colour shift.
  ProjectorsPage(std::function<std::vector<std::string>()> dacNames,
                 std::function<std::int32_t()> pointsPerSec, QWidget* parent = nullptr);

  // Lists the DACs again, keeping the one shown.
  void Refresh();
  // Shows the profile of this DAC (added to the list if need be).
  void ShowDac(const std::string& dacName);

 private:
  void ShowProfile(const output::ProjectorProfile& profile);
  output::ProjectorProfile EditedProfile() const;
  void Save();
  void ShowSuggestion();
  std::int32_t SuggestedShift() const;

  std::function<std::vector<std::string>()> dacNames_;
  std::function<std::int32_t()> pointsPerSec_;
  bool showing_ = false;  // fields being filled: no saving

  QComboBox* cboDac = nullptr;
  QSpinBox* spnRating = nullptr;
  QDoubleSpinBox* spnAngle = nullptr;
  QDoubleSpinBox* spnSizeX = nullptr;
  QDoubleSpinBox* spnSizeY = nullptr;
  QDoubleSpinBox* spnOffsetX = nullptr;
  QDoubleSpinBox* spnOffsetY = nullptr;
  QCheckBox* chkFlipX = nullptr;
  QCheckBox* chkFlipY = nullptr;
  QSpinBox* spnColourShift = nullptr;
  QLabel* lblSuggestion = nullptr;
  QCheckBox* chkGuard = nullptr;
  QDoubleSpinBox* spnGuardRadius = nullptr;
  QDoubleSpinBox* spnGuardDwell = nullptr;
};

}  // namespace whorlgen::ui
