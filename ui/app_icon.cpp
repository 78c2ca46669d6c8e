#include "ui/app_icon.h"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>

#include "engine/parameters.h"

namespace whorlgen::ui {

namespace {

constexpr int kIconSize = 48;
constexpr int kSegments = 240;

// A 3:2 figure, the classic pretzel of two oscillators a quarter-turn apart.
QPointF FigurePoint(double t) {
  const double centre = kIconSize / 2.0;
  const double radius = kIconSize / 2.0 - 5.0;
  return {centre + radius * std::sin(3.0 * t + engine::Pi / 2.0),
          centre - radius * std::sin(2.0 * t)};
}

}  // namespace

QIcon WhorlgenIcon() {
  QImage image(kIconSize, kIconSize, QImage::Format_RGB32);
  image.fill(Qt::black);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  // Each segment takes its own hue, like the colour oscillators sweeping along the figure.
  for (int i = 0; i < kSegments; ++i) {
    const double t0 = engine::TwoPi * i / kSegments;
    const double t1 = engine::TwoPi * (i + 1) / kSegments;
    painter.setPen(QPen(QColor::fromHsvF(static_cast<float>(i) / kSegments, 1.0f, 1.0f), 2.0));
    painter.drawLine(FigurePoint(t0), FigurePoint(t1));
  }
  painter.end();
  return QIcon(QPixmap::fromImage(image));
}

}  // namespace whorlgen::ui
