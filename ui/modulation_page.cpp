#include "ui/modulation_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <utility>

#include "engine/panel_bars.h"
#include "ui/music_modulation.h"

namespace whorlgen::ui {

namespace {

constexpr int kMeterMs = 50;
constexpr int kMeterSteps = 1000;
constexpr int kFlashFrames = 3;  // an onset or beat lights its meter this many updates
constexpr int kMeterColumns = 3;
const QString kNextMode = QStringLiteral("next mode (on the source)");

enum Column { kSource, kTarget, kDepth, kAttack, kRelease, kPolarity, kColumns };

QDoubleSpinBox* NumberBox(double lowest, double highest, int decimals, const QString& suffix) {
  auto* box = new QDoubleSpinBox;
  box->setRange(lowest, highest);
  box->setDecimals(decimals);
  box->setSuffix(suffix);
  box->setKeyboardTracking(false);  // one change per number typed, not per digit
  return box;
}

QComboBox* SourceBox() {
  auto* box = new QComboBox;
  for (const std::string& source : modulation::SourceNames())
    box->addItem(QString::fromStdString(source));
  return box;
}

QComboBox* TargetBox() {
  auto* box = new QComboBox;
  for (const engine::PanelBar& bar : engine::PanelBars())
    box->addItem(
        QString::fromLatin1(bar.EdgeName.data(), static_cast<qsizetype>(bar.EdgeName.size())));
  box->addItem(kNextMode);
  return box;
}

}  // namespace

ModulationPage::ModulationPage(MusicModulation& music, QWidget* parent)
    : QWidget(parent), music_(music) {
  setObjectName("pageModulation");
  chkBypass_ = new QCheckBox("Bypass: every bar at rest, nothing modulated", this);
  chkBypass_->setObjectName("chkModulationBypass");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(chkBypass_);
  layout->addWidget(BuildMeters());
  layout->addWidget(BuildLfos());
  layout->addWidget(BuildRows(), 1);
  connect(chkBypass_, &QCheckBox::toggled, &music_, &MusicModulation::SetBypass);
  connect(&music_, &MusicModulation::MatrixChanged, this, &ModulationPage::ShowMatrix);
  meterTimer_ = new QTimer(this);
  meterTimer_->setInterval(kMeterMs);
  connect(meterTimer_, &QTimer::timeout, this, &ModulationPage::UpdateMeters);
  ShowMatrix();
}

QWidget* ModulationPage::BuildMeters() {
  auto* group = new QGroupBox("Sources", this);
  auto* grid = new QGridLayout(group);
  const std::vector<std::string> names = modulation::SourceNames();
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto* meter = new QProgressBar(group);
    meter->setObjectName("meter_" + QString::fromStdString(names[i]));
    meter->setRange(0, kMeterSteps);
    meter->setTextVisible(false);
    meter->setMaximumHeight(12);
    const int row = static_cast<int>(i) / kMeterColumns;
    const int column = 2 * (static_cast<int>(i) % kMeterColumns);
    grid->addWidget(new QLabel(QString::fromStdString(names[i]), group), row, column);
    grid->addWidget(meter, row, column + 1);
    meters_.push_back(meter);
  }
  return group;
}

QWidget* ModulationPage::BuildLfos() {
  auto* group = new QGroupBox("LFOs (their clock is the show's playing time)", this);
  auto* grid = new QGridLayout(group);
  for (int i = 0; i < modulation::kLfoCount; ++i) {
    LfoEditor editor;
    editor.Shape = new QComboBox(group);
    for (auto shape :
         {modulation::LfoShape::Sine, modulation::LfoShape::Triangle, modulation::LfoShape::Saw,
          modulation::LfoShape::Square, modulation::LfoShape::SampleAndHold})
      editor.Shape->addItem(QString::fromUtf8(modulation::ShapeName(shape).data()),
                            static_cast<int>(shape));
    editor.Synced = new QCheckBox("with the beat", group);
    editor.Rate = NumberBox(0.0, 100.0, 3, {});
    grid->addWidget(new QLabel(QStringLiteral("lfo%1").arg(i + 1), group), i, 0);
    grid->addWidget(editor.Shape, i, 1);
    grid->addWidget(editor.Synced, i, 2);
    grid->addWidget(editor.Rate, i, 3);
    connect(editor.Shape, &QComboBox::currentIndexChanged, this, &ModulationPage::ApplyEdits);
    connect(editor.Synced, &QCheckBox::toggled, this, &ModulationPage::ApplyEdits);
    connect(editor.Rate, &QDoubleSpinBox::valueChanged, this, &ModulationPage::ApplyEdits);
    lfos_.push_back(editor);
  }
  return group;
}

QWidget* ModulationPage::BuildRows() {
  auto* group = new QGroupBox("Matrix (depth in the target's own numbers)", this);
  auto* layout = new QVBoxLayout(group);
  rows_ = new QTableWidget(0, kColumns, group);
  rows_->setObjectName("tblModulationRows");
  rows_->setHorizontalHeaderLabels({"Source", "Target", "Depth", "Attack", "Release", "Polarity"});
  rows_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  rows_->setSelectionBehavior(QAbstractItemView::SelectRows);
  auto* buttons = new QHBoxLayout;
  auto* add = new QPushButton("Add row", group);
  add->setObjectName("cmdAddModulationRow");
  auto* remove = new QPushButton("Remove selected", group);
  remove->setObjectName("cmdRemoveModulationRow");
  buttons->addWidget(add);
  buttons->addWidget(remove);
  buttons->addStretch();
  layout->addWidget(rows_);
  layout->addLayout(buttons);
  connect(add, &QPushButton::clicked, this, &ModulationPage::AddRow);
  connect(remove, &QPushButton::clicked, this, &ModulationPage::RemoveRow);
  return group;
}

void ModulationPage::AddRowWidgets(const modulation::Row& row) {
  const int at = rows_->rowCount();
  rows_->insertRow(at);
  QComboBox* source = SourceBox();
  source->setCurrentText(QString::fromStdString(row.Source));
  QComboBox* target = TargetBox();
  target->setCurrentText(
      row.Act == modulation::Action::NextMode ? kNextMode : QString::fromStdString(row.Target));
  QDoubleSpinBox* depth = NumberBox(-1e6, 1e6, 2, {});
  depth->setValue(row.Depth);
  QDoubleSpinBox* attack = NumberBox(0.0, modulation::kMaxSmoothing_ms, 0, " ms");
  attack->setValue(row.Attack_ms);
  QDoubleSpinBox* release = NumberBox(0.0, modulation::kMaxSmoothing_ms, 0, " ms");
  release->setValue(row.Release_ms);
  auto* polarity = new QComboBox;
  polarity->addItems({"positive", "negative"});
  polarity->setCurrentIndex(row.Negative ? 1 : 0);
  rows_->setCellWidget(at, kSource, source);
  rows_->setCellWidget(at, kTarget, target);
  rows_->setCellWidget(at, kDepth, depth);
  rows_->setCellWidget(at, kAttack, attack);
  rows_->setCellWidget(at, kRelease, release);
  rows_->setCellWidget(at, kPolarity, polarity);
  for (QComboBox* box : {source, target, polarity})
    connect(box, &QComboBox::currentIndexChanged, this, &ModulationPage::ApplyEdits);
  for (QDoubleSpinBox* box : {depth, attack, release})
    connect(box, &QDoubleSpinBox::valueChanged, this, &ModulationPage::ApplyEdits);
}

// The widgets from the matrix, without applying it again.
void ModulationPage::ShowMatrix() {
  showing_ = true;
  chkBypass_->setChecked(music_.Bypassed());
  ShowLfos();
  rows_->setRowCount(0);
  for (const modulation::Row& row : music_.CurrentMatrix().Rows)
    AddRowWidgets(row);
  showing_ = false;
}

void ModulationPage::ShowLfos() {
  const bool wasShowing = std::exchange(showing_, true);
  const modulation::Matrix& matrix = music_.CurrentMatrix();
  for (std::size_t i = 0; i < lfos_.size(); ++i) {
    const modulation::LfoSettings& lfo = matrix.Lfos[i];
    lfos_[i].Shape->setCurrentIndex(lfos_[i].Shape->findData(static_cast<int>(lfo.Shape)));
    lfos_[i].Synced->setChecked(lfo.Synced);
    lfos_[i].Rate->setSuffix(lfo.Synced ? " beats" : " Hz");
    lfos_[i].Rate->setValue(lfo.Synced ? lfo.Beats : lfo.Hz);
  }
  showing_ = wasShowing;
}

// The matrix from the widgets, applied at once: the bars of the old rows go
// back to rest and the new rows' bars rest where they stand. The row being
// edited keeps its widgets (and the focus); only the LFOs' units follow.
void ModulationPage::ApplyEdits() {
  if (showing_)
    return;
  modulation::Matrix matrix;
  for (std::size_t i = 0; i < lfos_.size(); ++i) {
    modulation::LfoSettings& lfo = matrix.Lfos[i];
    lfo.Shape = static_cast<modulation::LfoShape>(lfos_[i].Shape->currentData().toInt());
    const bool wasSynced = music_.CurrentMatrix().Lfos[i].Synced;
    lfo.Synced = lfos_[i].Synced->isChecked();
    const double rate = lfos_[i].Rate->value();
    // Ticking "with the beat" keeps the old rate's meaning out: one beat, or 1 Hz.
    if (lfo.Synced != wasSynced) {
      lfo.Beats = lfo.Synced ? 1.0 : lfo.Beats;
      lfo.Hz = lfo.Synced ? lfo.Hz : 1.0;
    } else if (lfo.Synced) {
      lfo.Beats = rate > 0.0 ? rate : 1.0;
    } else {
      lfo.Hz = rate;
    }
  }
  for (int r = 0; r < rows_->rowCount(); ++r) {
    modulation::Row row;
    row.Source =
        static_cast<QComboBox*>(rows_->cellWidget(r, kSource))->currentText().toStdString();
    const QString target = static_cast<QComboBox*>(rows_->cellWidget(r, kTarget))->currentText();
    if (target == kNextMode)
      row.Act = modulation::Action::NextMode;
    else
      row.Target = target.toStdString();
    row.Depth = static_cast<QDoubleSpinBox*>(rows_->cellWidget(r, kDepth))->value();
    row.Attack_ms = static_cast<QDoubleSpinBox*>(rows_->cellWidget(r, kAttack))->value();
    row.Release_ms = static_cast<QDoubleSpinBox*>(rows_->cellWidget(r, kRelease))->value();
    row.Negative = static_cast<QComboBox*>(rows_->cellWidget(r, kPolarity))->currentIndex() == 1;
    matrix.Rows.push_back(row);
  }
  music_.SetMatrix(matrix);
  ShowLfos();
}

void ModulationPage::AddRow() {
  if (static_cast<std::size_t>(rows_->rowCount()) >= modulation::kMaxRows)
    return;
  showing_ = true;
  AddRowWidgets({"lfo1", "x_gain", modulation::Action::None, 0.0, 0.0, 0.0, false});
  showing_ = false;
  ApplyEdits();
}

void ModulationPage::RemoveRow() {
  const int row = rows_->currentRow();
  if (row < 0)
    return;
  rows_->removeRow(row);
  ApplyEdits();
}

void ModulationPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  meterTimer_->start();
}

void ModulationPage::hideEvent(QHideEvent* event) {
  meterTimer_->stop();
  QWidget::hideEvent(event);
}

void ModulationPage::UpdateMeters() {
  const analysis::MusicValues music = music_.Music();
  std::vector<double> values;
  for (int i = 0; i < modulation::kLfoCount; ++i)
    values.push_back((music_.LfoValue(i) + 1.0) / 2.0);  // -1..1 across the meter
  values.push_back(music.Low);
  values.push_back(music.Mid);
  values.push_back(music.High);
  for (float band : music.Bands)
    values.push_back(band);
  onsetFlash_ = music.Onsets != lastOnsets_ ? kFlashFrames : std::max(onsetFlash_ - 1, 0);
  beatFlash_ = music.Beats != lastBeats_ ? kFlashFrames : std::max(beatFlash_ - 1, 0);
  lastOnsets_ = music.Onsets;
  lastBeats_ = music.Beats;
  values.push_back(onsetFlash_ > 0 ? 1.0 : 0.0);
  values.push_back(beatFlash_ > 0 ? 1.0 : 0.0);
  for (std::size_t i = 0; i < meters_.size() && i < values.size(); ++i)
    meters_[i]->setValue(static_cast<int>(std::nearbyint(values[i] * kMeterSteps)));
}

}  // namespace whorlgen::ui
