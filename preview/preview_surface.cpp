#include "preview/preview_surface.h"

#include <QPainter>
#include <cstring>

namespace whorlgen::preview {

namespace {
constexpr int kBorder = 2;
}

PreviewSurface::PreviewSurface(int outerSize, QWidget* parent)
    : QFrame(parent),
      image_(outerSize - 2 * kBorder, outerSize - 2 * kBorder, QImage::Format_RGB32) {
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setLineWidth(kBorder);
  setFixedSize(outerSize, outerSize);
  setAttribute(Qt::WA_OpaquePaintEvent);
  image_.fill(Qt::black);
}

void PreviewSurface::Upload(const std::uint32_t* pixels) {
  // Rows of the image are W x 4 bytes with no padding for RGB32, so the
  // whole buffer goes across in one copy.
  std::memcpy(image_.bits(), pixels, static_cast<std::size_t>(image_.sizeInBytes()));
  update(contentsRect());
}

void PreviewSurface::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  QPainter painter(this);
  painter.drawImage(contentsRect().topLeft(), image_);
}

}  // namespace whorlgen::preview
