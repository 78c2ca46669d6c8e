#include "preview/preview_surface.h"

#include <QPainter>
#include <algorithm>
#include <cstddef>

namespace whorlgen::preview {

namespace {
constexpr int kBorder = 2;
constexpr std::uint32_t kOpaque = 0xFF000000u;
}  // namespace

PreviewSurface::PreviewSurface(int outerSize, QWidget* parent)
    : QFrame(parent),
      image_(outerSize - 2 * kBorder, outerSize - 2 * kBorder, QImage::Format_RGB32) {
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setLineWidth(kBorder);
  setFixedSize(outerSize, outerSize);
  setAttribute(Qt::WA_OpaquePaintEvent);
  image_.fill(Qt::black);
}

void PreviewSurface::Upload(const std::uint32_t* pixels, std::int32_t byteCount) {
  // Rows of an RGB32 image are W x 4 bytes with no padding, so the whole
  // buffer goes across in one pass. Qt takes the top byte of RGB32 as 0xFF;
  // setting it here keeps a zero from passing as transparency when the image
  // is drawn onto a surface with alpha (a grab, a translucent backing store).
  const auto imageBytes = static_cast<std::size_t>(image_.sizeInBytes());
  const std::size_t bytes = std::min(imageBytes, static_cast<std::size_t>(std::max(byteCount, 0)));
  auto* target = reinterpret_cast<std::uint32_t*>(image_.bits());
  std::transform(pixels, pixels + bytes / 4, target,
                 [](std::uint32_t pixel) { return pixel | kOpaque; });
  update(contentsRect());
}

void PreviewSurface::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  QPainter painter(this);
  painter.drawImage(contentsRect().topLeft(), image_);
}

}  // namespace whorlgen::preview
