#include "ui/projectors_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include "projection/scanner_model.h"
#include "ui/projector_settings.h"
#include "ui/settings_file.h"

namespace whorlgen::ui {

namespace {
QDoubleSpinBox* NumberBox(const char* name, double low, double high, int decimals,
                          const char* suffix, QWidget* parent) {
  auto* box = new QDoubleSpinBox(parent);
  box->setObjectName(name);
  box->setRange(low, high);
  box->setDecimals(decimals);
  box->setSuffix(QString::fromUtf8(suffix));
  return box;
}
}  // namespace

ProjectorsPage::ProjectorsPage(std::function<std::vector<std::string>()> dacNames,
                               std::function<std::int32_t()> pointsPerSec, QWidget* parent)
    : QWidget(parent), dacNames_(std::move(dacNames)), pointsPerSec_(std::move(pointsPerSec)) {
  setObjectName("pageProjectors");
  auto* form = new QFormLayout(this);
  cboDac = new QComboBox(this);
  cboDac->setObjectName("cboProjectorDac");
  form->addRow("DAC", cboDac);

  spnRating = new QSpinBox(this);
  spnRating->setObjectName("spnScannerRating");
  spnRating->setRange(1000, 200000);
  spnRating->setSingleStep(1000);
  spnRating->setSuffix(" pps at 8\u00B0");
  form->addRow("Scanner rating", spnRating);
  spnAngle = NumberBox("spnScanAngle", 1, 90, 1, "\u00B0 optical", this);
  form->addRow("Scan angle", spnAngle);

  spnSizeX = NumberBox("spnSizeX", 0, 100, 1, " %", this);
  spnSizeY = NumberBox("spnSizeY", 0, 100, 1, " %", this);
  auto* size = new QHBoxLayout;
  size->addWidget(spnSizeX);
  size->addWidget(spnSizeY);
  form->addRow("Size X, Y", size);
  spnOffsetX = NumberBox("spnOffsetX", -50, 50, 1, " %", this);
  spnOffsetY = NumberBox("spnOffsetY", -50, 50, 1, " %", this);
  auto* offset = new QHBoxLayout;
  offset->addWidget(spnOffsetX);
  offset->addWidget(spnOffsetY);
  form->addRow("Offset X, Y", offset);
  chkFlipX = new QCheckBox("Flip X", this);
  chkFlipX->setObjectName("chkFlipX");
  chkFlipY = new QCheckBox("Flip Y", this);
  chkFlipY->setObjectName("chkFlipY");
  auto* flips = new QHBoxLayout;
  flips->addWidget(chkFlipX);
  flips->addWidget(chkFlipY);
  form->addRow("", flips);

  spnColourShift = new QSpinBox(this);
  spnColourShift->setObjectName("spnColourShift");
  spnColourShift->setRange(0, 1000);
  spnColourShift->setSuffix(" points");
  auto* useSuggested = new QPushButton("Use suggested", this);
  useSuggested->setObjectName("cmdUseSuggestedShift");
  lblSuggestion = new QLabel(this);
  lblSuggestion->setObjectName("lblSuggestedShift");
  auto* shift = new QHBoxLayout;
  shift->addWidget(spnColourShift);
  shift->addWidget(useSuggested);
  shift->addWidget(lblSuggestion, 1);
  form->addRow("Colour shift", shift);

  chkGuard = new QCheckBox("Blank a beam that stands still", this);
  chkGuard->setObjectName("chkBeamGuard");
  form->addRow("Beam guard", chkGuard);
  spnGuardRadius = NumberBox("spnGuardRadius", 0.1, 10, 1, " % of the field", this);
  form->addRow("Circle radius", spnGuardRadius);
  spnGuardDwell = NumberBox("spnGuardDwell", 1, 1000, 0, " ms", this);
  form->addRow("Dwell limit", spnGuardDwell);

  connect(cboDac, &QComboBox::currentTextChanged, this,
          [this](const QString& name) { ShowDac(name.toStdString()); });
  for (QSpinBox* box : {spnRating, spnColourShift})
    connect(box, &QSpinBox::valueChanged, this, &ProjectorsPage::Save);
  for (QDoubleSpinBox* box :
       {spnAngle, spnSizeX, spnSizeY, spnOffsetX, spnOffsetY, spnGuardRadius, spnGuardDwell})
    connect(box, &QDoubleSpinBox::valueChanged, this, &ProjectorsPage::Save);
  for (QCheckBox* box : {chkFlipX, chkFlipY, chkGuard})
    connect(box, &QCheckBox::toggled, this, &ProjectorsPage::Save);
  connect(useSuggested, &QPushButton::clicked, this,
          [this] { spnColourShift->setValue(SuggestedShift()); });
  Refresh();
}

void ProjectorsPage::Refresh() {
  const QString shown = cboDac->currentText();
  QStringList names;
  for (const std::string& name : dacNames_())
    names << QString::fromStdString(name);
  auto settings = OpenSettings();
  for (const QString& stored : StoredProjectorNames(*settings))
    if (!names.contains(stored))
      names << stored;
  {
    const QSignalBlocker quiet(cboDac);
    cboDac->clear();
    cboDac->addItems(names);
  }
  ShowDac(shown.isEmpty() ? names.value(0).toStdString() : shown.toStdString());
}

void ProjectorsPage::ShowDac(const std::string& dacName) {
  const QString name = QString::fromStdString(dacName);
  if (cboDac->currentText() != name) {
    const QSignalBlocker quiet(cboDac);
    if (cboDac->findText(name) < 0)
      cboDac->addItem(name);
    cboDac->setCurrentText(name);
  }
  ShowProfile(LoadProjectorProfile(dacName));
}

void ProjectorsPage::ShowProfile(const output::ProjectorProfile& p) {
  showing_ = true;
  spnRating->setValue(static_cast<int>(p.ScannerRatingPps));
  spnAngle->setValue(p.ScanAngleDeg);
  spnSizeX->setValue(p.SizeXPercent);
  spnSizeY->setValue(p.SizeYPercent);
  spnOffsetX->setValue(p.OffsetXPercent);
  spnOffsetY->setValue(p.OffsetYPercent);
  chkFlipX->setChecked(p.FlipX);
  chkFlipY->setChecked(p.FlipY);
  spnColourShift->setValue(p.ColourShiftPoints);
  chkGuard->setChecked(p.Guard.Enabled);
  spnGuardRadius->setValue(p.Guard.RadiusFraction * 100);
  spnGuardDwell->setValue(p.Guard.DwellLimitMs);
  showing_ = false;
  ShowSuggestion();
}

output::ProjectorProfile ProjectorsPage::EditedProfile() const {
  output::ProjectorProfile p;
  p.ScannerRatingPps = spnRating->value();
  p.ScanAngleDeg = spnAngle->value();
  p.SizeXPercent = spnSizeX->value();
  p.SizeYPercent = spnSizeY->value();
  p.OffsetXPercent = spnOffsetX->value();
  p.OffsetYPercent = spnOffsetY->value();
  p.FlipX = chkFlipX->isChecked();
  p.FlipY = chkFlipY->isChecked();
  p.ColourShiftPoints = spnColourShift->value();
  p.Guard.Enabled = chkGuard->isChecked();
  p.Guard.RadiusFraction = spnGuardRadius->value() / 100;
  p.Guard.DwellLimitMs = spnGuardDwell->value();
  return p;
}

void ProjectorsPage::Save() {
  ShowSuggestion();
  if (showing_ || cboDac->currentText().isEmpty())
    return;
  auto settings = OpenSettings();
  SaveProjectorProfile(*settings, cboDac->currentText().toStdString(), EditedProfile());
}

std::int32_t ProjectorsPage::SuggestedShift() const {
  const projection::ScannerParameters scanner =
      projection::ScannerParametersFor(spnRating->value(), spnAngle->value());
  return projection::SuggestedColourShiftPoints(scanner, pointsPerSec_());
}

void ProjectorsPage::ShowSuggestion() {
  lblSuggestion->setText(
      QStringLiteral("suggested: %1 at %2 pps").arg(SuggestedShift()).arg(pointsPerSec_()));
}

}  // namespace whorlgen::ui
