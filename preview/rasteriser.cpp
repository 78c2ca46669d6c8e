#include "preview/rasteriser.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

#include "engine/dac_units.h"

namespace whorlgen::preview {

namespace {

constexpr std::int32_t kMaxCode = engine::kDacTopCode;

// Nearest integer, ties to even (the default rounding mode), so that a
// column of 122.5 becomes 122 and 123.5 becomes 124.
std::int32_t RoundToInt(double value) {
  return static_cast<std::int32_t>(std::lrint(value));
}

std::int32_t StepToward(std::int32_t delta) {
  return delta > 0 ? 1 : -1;
}

}  // namespace

void PreviewRenderer::Setup(std::int32_t width, std::int32_t height) {
  if (width < 3 || height < 3) {
    throw std::invalid_argument("preview surface must be at least 3 x 3 pixels, not " +
                                std::to_string(width) + " x " + std::to_string(height));
  }
  const std::int64_t byteCount = std::int64_t{width} * height * 4;
  if (byteCount > std::numeric_limits<std::int32_t>::max()) {
    throw std::invalid_argument("preview surface of " + std::to_string(width) + " x " +
                                std::to_string(height) + " pixels is too large");
  }
  pixels_.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
  touched_.assign(kTouchedCapacity, 0);
  width_ = width;
  height_ = height;
  byteCount_ = static_cast<std::int32_t>(byteCount);
  writeCount_ = 0;
}

PreviewRenderer::Mapping PreviewRenderer::MappingFor(bool showDots) const {
  // Dot mode leaves a one-pixel margin on every side so that the 3 x 3 block
  // around any point stays inside the buffer.
  const std::int32_t margin = showDots ? 1 : 0;
  return Mapping{static_cast<double>(width_ - 1 - 2 * margin) / kMaxCode,
                 static_cast<double>(height_ - 1 - 2 * margin) / kMaxCode,
                 static_cast<double>(margin)};
}

PreviewRenderer::Pixel PreviewRenderer::MapPoint(const engine::LaserPoint& point,
                                                 const Mapping& mapping) {
  // The generator keeps codes in 0..4095; a point from anywhere else must
  // still never land outside the buffer.
  const std::int32_t x = std::clamp<std::int32_t>(point.X, 0, kMaxCode);
  const std::int32_t y = std::clamp<std::int32_t>(point.Y, 0, kMaxCode);
  // Y grows upwards on the laser and downwards on the screen.
  return Pixel{RoundToInt(x * mapping.ScaleX + mapping.Offset),
               RoundToInt((kMaxCode - y) * mapping.ScaleY + mapping.Offset)};
}

inline void PreviewRenderer::SetPixel(std::int32_t index, std::uint32_t colour) {
  pixels_[static_cast<std::size_t>(index)] = colour;
  // Past the end of the list the writes are only counted; the whole buffer is
  // cleared after such a frame.
  if (writeCount_ < kTouchedCapacity) {
    touched_[writeCount_] = index;
  }
  ++writeCount_;
}

void PreviewRenderer::DrawBlockNeighbours(Pixel centre, std::uint32_t colour) {
  const std::int32_t k = centre.Row * width_ + centre.Column;
  const std::int32_t w = width_;
  SetPixel(k + 1, colour);
  SetPixel(k - 1, colour);
  SetPixel(k + w, colour);
  SetPixel(k - w, colour);
  SetPixel(k + 1 + w, colour);
  SetPixel(k - 1 + w, colour);
  SetPixel(k + 1 - w, colour);
  SetPixel(k - 1 - w, colour);
}

// Steps one pixel at a time along the longer axis, leaving out the start
// pixel and always ending on the end pixel.
void PreviewRenderer::DrawSegment(Pixel from, Pixel to, std::uint32_t colour) {
  const std::int32_t dx = to.Column - from.Column;
  const std::int32_t dy = to.Row - from.Row;
  if (std::abs(dx) < std::abs(dy)) {
    const double slope = static_cast<double>(dx) / dy;
    const double intercept = from.Column - from.Row * slope;
    // The whole index is rounded as one number, so at a tie the parity of
    // row x width + column decides, not the column's own.
    const double rowScale = width_ + slope;
    const std::int32_t step = StepToward(dy);
    for (std::int32_t row = from.Row + step;; row += step) {
      SetPixel(RoundToInt(rowScale * row + intercept), colour);
      if (row == to.Row) {
        break;
      }
    }
  } else if (dx != 0) {
    const double slope = static_cast<double>(dy) / dx;
    const double intercept = from.Row - from.Column * slope;
    const std::int32_t step = StepToward(dx);
    for (std::int32_t column = from.Column + step;; column += step) {
      SetPixel(RoundToInt(column * slope + intercept) * width_ + column, colour);
      if (column == to.Column) {
        break;
      }
    }
  } else {
    SetPixel(to.Row * width_ + to.Column, colour);
  }
}

void PreviewRenderer::DrawPreview(std::span<const engine::LaserPoint> frame, bool showDots,
                                  PreviewUpload& upload) {
  if (pixels_.empty()) {
    return;
  }
  writeCount_ = 0;
  const Mapping mapping = MappingFor(showDots);
  if (!frame.empty()) {
    // The first point's segment starts and ends on its own pixel, so it is
    // drawn as one pixel, or a full block in dot mode.
    Pixel previous = MapPoint(frame.front(), mapping);
    for (const engine::LaserPoint& point : frame) {
      const Pixel current = MapPoint(point, mapping);
      const std::uint32_t colour = PackRGB(point.R, point.G, point.B);
      if (colour != 0) {
        if (showDots) {
          DrawBlockNeighbours(current, colour);
        }
        DrawSegment(previous, current, colour);
      }
      // A black point is not drawn but still moves the pen.
      previous = current;
    }
  }
  try {
    upload.Upload(pixels_.data(), byteCount_);
  } catch (...) {
    // The next frame must still start on black.
    ClearWritten();
    throw;
  }
  ClearWritten();
}

void PreviewRenderer::ClearWritten() {
  // One pass over the whole buffer when the list overflowed, or when it lists
  // more writes than the buffer has pixels and the pass is cheaper anyway.
  if (writeCount_ > kTouchedCapacity || writeCount_ >= pixels_.size()) {
    std::fill(pixels_.begin(), pixels_.end(), 0);
  } else {
    for (std::size_t j = 0; j < writeCount_; ++j) {
      pixels_[static_cast<std::size_t>(touched_[j])] = 0;
    }
  }
}

}  // namespace whorlgen::preview
