#pragma once
// A scroll bar with the panel's two events and its own sense of Min and Max.
//
// Min is the value at the top (or left) end and Max the value at the bottom
// (or right) end, whichever is larger. Qt keeps its own range 0..|Max - Min|
// with 0 at the top, so arrows, trough clicks, keys and the wheel all step by
// one position the natural way; only the numbers are mapped.
//
// Change(v): an arrow or trough click, the thumb released at a new place, a
//            key, or SetValue with a different number. Never during a drag,
//            never for the value the bar already has.
// Scroll(v): repeatedly while the thumb is dragged, v being the thumb's place.

#include <QScrollBar>
#include <cstdint>

namespace whorlgen::ui {

class PanelScrollBar : public QScrollBar {
  Q_OBJECT

 public:
  PanelScrollBar(Qt::Orientation orientation, std::int16_t min, std::int16_t max,
                 std::int16_t value, QWidget* parent = nullptr);

  std::int16_t Min() const { return min_; }
  std::int16_t Max() const { return max_; }

  // The thumb's place: during a drag the place it is dragged to, otherwise
  // the value of the last Change.
  std::int16_t Value() const;

  // Raises Change when v differs from the current value. A value outside
  // Min..Max is taken to the nearer end.
  void SetValue(std::int16_t v);

 signals:
  void Change(int v);
  void Scroll(int v);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  int ToPosition(int v) const;
  std::int16_t ToValue(int position) const;

  std::int16_t min_;
  std::int16_t max_;
};

}  // namespace whorlgen::ui
