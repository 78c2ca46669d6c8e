#pragma once
// The preview picture box: a sunken frame around a persistent 32-bit image
// that each frame's pixel buffer is copied into in one piece.

#include <QFrame>
#include <QImage>
#include <cstdint>

#include "preview/rasteriser.h"

namespace whorlgen::preview {

class PreviewSurface : public QFrame, public PreviewUpload {
  Q_OBJECT

 public:
  // outerSize includes the 2-pixel border on every side.
  explicit PreviewSurface(int outerSize, QWidget* parent = nullptr);

  // The drawable surface in pixels (the inner size).
  int InnerWidth() const { return image_.width(); }
  int InnerHeight() const { return image_.height(); }

  // Copies at most byteCount bytes of InnerWidth() x InnerHeight() pixels of
  // 0x00RRGGBB, rows top to bottom, into the image the widget shows until the
  // next upload.
  void Upload(const std::uint32_t* pixels, std::int32_t byteCount) override;

  const QImage& Image() const { return image_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage image_;
};

}  // namespace whorlgen::preview
