#include "ui/panel_scroll_bar.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <cstdlib>

namespace whorlgen::ui {

PanelScrollBar::PanelScrollBar(Qt::Orientation orientation, std::int16_t min, std::int16_t max,
                               std::int16_t value, QWidget* parent)
    : QScrollBar(orientation, parent), min_(min), max_(max) {
  setRange(0, std::abs(max_ - min_));
  setSingleStep(1);
  setPageStep(1);
  // Value changes only when the thumb is let go; the drag itself is reported
  // through sliderMoved.
  setTracking(false);
  setValue(ToPosition(value));
  // A bar takes part in the tab order and has no menu of its own.
  setFocusPolicy(Qt::StrongFocus);
  setContextMenuPolicy(Qt::NoContextMenu);

  connect(this, &QAbstractSlider::valueChanged, this,
          [this](int position) { emit Change(ToValue(position)); });
  connect(this, &QAbstractSlider::sliderMoved, this,
          [this](int position) { emit Scroll(ToValue(position)); });
}

std::int16_t PanelScrollBar::Value() const {
  // sliderPosition() equals value() except while the thumb is dragged.
  return ToValue(sliderPosition());
}

void PanelScrollBar::SetValue(std::int16_t v) {
  setValue(ToPosition(v));
}

void PanelScrollBar::keyPressEvent(QKeyEvent* event) {
  // A scroll bar's controls are inverted for the wheel's sake, which turns
  // Left and Right around on a horizontal bar; there Right raises the value
  // and Left lowers it. Every other key keeps the bar's own meaning.
  if (orientation() == Qt::Horizontal &&
      (event->key() == Qt::Key_Left || event->key() == Qt::Key_Right)) {
    const bool raise = (event->key() == Qt::Key_Right) != isRightToLeft();
    triggerAction(raise ? SliderSingleStepAdd : SliderSingleStepSub);
    event->accept();
    return;
  }
  QScrollBar::keyPressEvent(event);
}

// The style lets a middle click jump the thumb to the click; on the panel
// every click in the trough steps by one, so the middle button acts as the left.
void PanelScrollBar::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::MiddleButton) {
    QMouseEvent left(event->type(), event->position(), event->scenePosition(),
                     event->globalPosition(), Qt::LeftButton, Qt::LeftButton, event->modifiers(),
                     event->pointingDevice());
    QScrollBar::mousePressEvent(&left);
    event->setAccepted(left.isAccepted());
    return;
  }
  QScrollBar::mousePressEvent(event);
}

void PanelScrollBar::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::MiddleButton) {
    QMouseEvent left(event->type(), event->position(), event->scenePosition(),
                     event->globalPosition(), Qt::LeftButton, Qt::NoButton, event->modifiers(),
                     event->pointingDevice());
    QScrollBar::mouseReleaseEvent(&left);
    event->setAccepted(left.isAccepted());
    return;
  }
  QScrollBar::mouseReleaseEvent(event);
}

int PanelScrollBar::ToPosition(int v) const {
  return min_ > max_ ? min_ - v : v - min_;
}

std::int16_t PanelScrollBar::ToValue(int position) const {
  return static_cast<std::int16_t>(min_ > max_ ? min_ - position : min_ + position);
}

}  // namespace whorlgen::ui
