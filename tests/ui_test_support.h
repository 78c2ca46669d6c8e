#pragma once
// Real mouse input on the panel's scroll bars, and waiting for a run's end,
// shared by the window tests.

#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "ui/application.h"
#include "ui/frm_whorlgen.h"
#include "ui/panel_scroll_bar.h"

namespace whorlgen::ui {

// Where a part of the bar (arrow, trough, thumb) is drawn, as the bar itself
// hit-tests it.
inline QRect PartOf(PanelScrollBar* bar, QStyle::SubControl part) {
  QStyleOptionSlider option;
  option.initFrom(bar);
  option.subControls = QStyle::SC_All;
  option.orientation = bar->orientation();
  if (bar->orientation() == Qt::Horizontal) {
    option.state |= QStyle::State_Horizontal;
  }
  option.minimum = bar->minimum();
  option.maximum = bar->maximum();
  option.sliderPosition = bar->sliderPosition();
  option.sliderValue = bar->value();
  option.singleStep = bar->singleStep();
  option.pageStep = bar->pageStep();
  return bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, part, bar);
}

inline void Click(PanelScrollBar* bar, QStyle::SubControl part) {
  QTest::mouseClick(bar, Qt::LeftButton, {}, PartOf(bar, part).center());
}

// Presses the thumb, moves the mouse through the given points on the bar and
// releases it at the last one.
inline void DragThumb(PanelScrollBar* bar, const std::vector<QPoint>& path) {
  const QPoint start = PartOf(bar, QStyle::SC_ScrollBarSlider).center();
  QTest::mousePress(bar, Qt::LeftButton, {}, start);
  for (const QPoint& p : path) {
    QTest::mouseMove(bar, p);
  }
  QTest::mouseRelease(bar, Qt::LeftButton, {}, path.empty() ? start : path.back());
}

// The whole program as main builds it, held like the window it shows.
class ProgramWindow {
 public:
  ProgramWindow() = default;
  explicit ProgramWindow(std::unique_ptr<Application> program) : program_(std::move(program)) {}
  FrmWhorlgen* get() const { return program_ ? &program_->Window() : nullptr; }
  FrmWhorlgen& operator*() const { return *get(); }
  FrmWhorlgen* operator->() const { return get(); }
  Application& Program() const { return *program_; }
  void reset() { program_.reset(); }

 private:
  std::unique_ptr<Application> program_;
};

inline ProgramWindow MakeProgram(
    const std::optional<std::filesystem::path>& deviceLibraryDirectory = std::nullopt) {
  return ProgramWindow(std::make_unique<Application>(deviceLibraryDirectory));
}

// Handles events until the window's run, if one is under way, has ended:
// a click on Start begins a run and returns at once.
inline bool WaitForRunEnd(const FrmWhorlgen& window, int timeoutMs = 30000) {
  return QTest::qWaitFor([&] { return !window.Loop.InRun(); }, timeoutMs);
}

}  // namespace whorlgen::ui
