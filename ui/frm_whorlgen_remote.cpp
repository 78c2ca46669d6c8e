// The window's door for remote surfaces: bars by control name, the mode,
// the check boxes and Start and Stop, each used as a hand would use it.

#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <algorithm>

#include "ui/control_table.h"
#include "ui/frm_whorlgen.h"
#include "ui/panel_scroll_bar.h"

namespace whorlgen::ui {

namespace {

PanelScrollBar* Bar(const QWidget* client, const std::string& name) {
  if (client == nullptr || !QString::fromStdString(name).startsWith("scr"))
    return nullptr;
  return client->findChild<PanelScrollBar*>(QString::fromStdString(name),
                                            Qt::FindDirectChildrenOnly);
}

}  // namespace

std::vector<control::BarRange> FrmWhorlgen::BarRanges() const {
  std::vector<control::BarRange> bars;
  for (const ControlSpec& spec : ControlTable()) {
    if (spec.Kind == ControlKind::VerticalScrollBar ||
        spec.Kind == ControlKind::HorizontalScrollBar)
      bars.push_back(
          {spec.Name, std::min<int>(spec.Min, spec.Max), std::max<int>(spec.Min, spec.Max)});
  }
  return bars;
}

int FrmWhorlgen::BarPosition(const std::string& name) const {
  const PanelScrollBar* bar = Bar(centralWidget(), name);
  return bar != nullptr ? bar->Value() : 0;
}

bool FrmWhorlgen::SetBarPosition(const std::string& name, int position) {
  PanelScrollBar* bar = Bar(centralWidget(), name);
  if (bar == nullptr)
    return false;
  const int lowest = std::min<int>(bar->Min(), bar->Max());
  const int highest = std::max<int>(bar->Min(), bar->Max());
  bar->SetValue(static_cast<std::int16_t>(std::clamp(position, lowest, highest)));
  return true;
}

void FrmWhorlgen::SetOpMode(int mode) {
  const QList<QListWidgetItem*> items =
      lstOpMode->findItems(QString::number(mode), Qt::MatchExactly);
  if (!items.isEmpty())
    lstOpMode->setCurrentItem(items.front());
}

bool FrmWhorlgen::Checked(Check which) const {
  switch (which) {
    case Check::LimitVelocity:
      return chkLimitVelocity->isChecked();
    case Check::ShowDots:
      return chkShowDots->isChecked();
    case Check::IldaOutput:
      return chkILDAout->isChecked();
  }
  return false;
}

void FrmWhorlgen::SetCheck(Check which, bool on) {
  QCheckBox* box = which == Check::LimitVelocity ? chkLimitVelocity
                   : which == Check::ShowDots    ? chkShowDots
                                                 : chkILDAout;
  if (box->isEnabled())
    box->setChecked(on);
}

void FrmWhorlgen::ClickStart() {
  // A Start that arrives from a controller after the window was closed would
  // begin a run that nobody sees and nothing ends.
  if (cmdStart->isEnabled() && isVisible())
    cmdStart_Click();
}

void FrmWhorlgen::ClickStop() {
  if (cmdStop->isEnabled())
    cmdStop_Click();
}

// What the operator touches, for MIDI learn. Start and Stop report on press,
// before Start's handler runs the whole run.
void FrmWhorlgen::ReportTouches() {
  for (PanelScrollBar* bar : centralWidget()->findChildren<PanelScrollBar*>()) {
    const QString name = bar->objectName();
    connect(bar, &PanelScrollBar::Change, this, [this, name] { emit ControlTouched(name); });
    connect(bar, &PanelScrollBar::Scroll, this, [this, name] { emit ControlTouched(name); });
  }
  connect(cmdStart, &QPushButton::pressed, this, [this] { emit ControlTouched("start"); });
  connect(cmdStop, &QPushButton::pressed, this, [this] { emit ControlTouched("stop"); });
  connect(lstOpMode, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { emit ControlTouched("mode" + item->text()); });
}

}  // namespace whorlgen::ui
