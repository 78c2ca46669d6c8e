#include "projection/beam_image.h"

#include <algorithm>
#include <cmath>

namespace whorlgen::projection {

namespace {
// Past this growth the stored light is scaled back down in one pass.
constexpr double kRenormaliseGain = 1e6;

}  // namespace

void BeamImage::Resize(std::int32_t width, std::int32_t height) {
  width_ = std::max(width, 1);
  height_ = std::max(height, 1);
  side_ = std::min(width_, height_);
  left_ = (width_ - side_) / 2.0;
  top_ = (height_ - side_) / 2.0;
  light_.assign(static_cast<std::size_t>(width_) * height_ * 3, 0.0f);
  marks_.assign(static_cast<std::size_t>(width_) * height_, 0.0f);
  gain_ = 1;
  lit_ = composed_ = PixelRect{};
}

void BeamImage::Clear() {
  std::fill(light_.begin(), light_.end(), 0.0f);
  std::fill(marks_.begin(), marks_.end(), 0.0f);
  gain_ = 1;
  lit_ = PixelRect{};
}

void BeamImage::Extend(double column, double row, double margin) {
  if (column - margin >= lit_.Left && column + margin <= lit_.Right && row - margin >= lit_.Top &&
      row + margin <= lit_.Bottom)
    return;  // already inside
  auto clampTo = [](double v, std::int32_t high) {
    return static_cast<std::int32_t>(std::clamp(v, 0.0, static_cast<double>(high)));
  };
  const std::int32_t left = clampTo(std::floor(column - margin), width_ - 1);
  const std::int32_t top = clampTo(std::floor(row - margin), height_ - 1);
  const std::int32_t right = clampTo(std::ceil(column + margin), width_ - 1);
  const std::int32_t bottom = clampTo(std::ceil(row + margin), height_ - 1);
  if (lit_.Empty()) {
    lit_ = {left, top, right, bottom};
    return;
  }
  lit_ = {std::min(lit_.Left, left), std::min(lit_.Top, top), std::max(lit_.Right, right),
          std::max(lit_.Bottom, bottom)};
}

void BeamImage::Advance(double seconds) {
  time_ += seconds;
  if (seconds != lastAdvanceSec_) {
    lastAdvanceSec_ = seconds;
    lastGrowth_ = std::exp(seconds / persistenceSec_);
  }
  gain_ *= lastGrowth_;
  if (gain_ > kRenormaliseGain)
    Renormalise();
}

void BeamImage::Renormalise() {
  const auto scale = static_cast<float>(1.0 / gain_);
  // Light faded below anything Compose can show is dropped, so the floats
  // never sink into slow subnormal numbers.
  auto shrink = [scale](float& v) { v = v * scale < 1e-12f ? 0.0f : v * scale; };
  std::for_each(light_.begin(), light_.end(), shrink);
  std::for_each(marks_.begin(), marks_.end(), shrink);
  gain_ = 1;
  // Where light has faded away the picture need not be composed any more.
  lit_ = PixelRect{};
  for (std::int32_t row = 0; row < height_; ++row) {
    for (std::int32_t column = 0; column < width_; ++column) {
      const std::size_t i = static_cast<std::size_t>(row) * width_ + column;
      if (marks_[i] != 0 || light_[3 * i] != 0 || light_[3 * i + 1] != 0 || light_[3 * i + 2] != 0)
        Extend(column, row, 0);
    }
  }
}

BeamImage::Pixel BeamImage::ToPixel(double x, double y) const {
  // x = -0.5 is the left edge of the field, y = +0.5 its top.
  const double column = left_ + (x + 0.5) * side_ - 0.5;
  const double row = top_ + (0.5 - y) * side_ - 0.5;
  return {static_cast<std::int32_t>(std::lrint(column)),
          static_cast<std::int32_t>(std::lrint(row))};
}

void BeamImage::AddPath(double x0, double y0, double x1, double y1, Rgb colour, double seconds) {
  if (light_.empty() || (colour.R == 0 && colour.G == 0 && colour.B == 0))
    return;
  const double c0 = left_ + (x0 + 0.5) * side_ - 0.5, r0 = top_ + (0.5 - y0) * side_ - 0.5;
  const double c1 = left_ + (x1 + 0.5) * side_ - 0.5, r1 = top_ + (0.5 - y1) * side_ - 0.5;
  Extend(c0, r0, 1);
  Extend(c1, r1, 1);
  const double span = std::max(std::abs(c1 - c0), std::abs(r1 - r0));
  const int steps = std::max(1, static_cast<int>(std::ceil(span)));
  // Light per pixel in level-seconds per field of path.
  const auto weight = static_cast<float>(seconds * gain_ * side_ / steps);
  const float r = colour.R * weight, g = colour.G * weight, b = colour.B * weight;
  const double dc = (c1 - c0) / steps, dr = (r1 - r0) / steps;
  for (int i = 1; i <= steps; ++i) {
    const auto column = static_cast<std::int32_t>(std::lrint(c0 + dc * i));
    const auto row = static_cast<std::int32_t>(std::lrint(r0 + dr * i));
    if (column < 0 || column >= width_ || row < 0 || row >= height_)
      continue;
    float* p = &light_[(static_cast<std::size_t>(row) * width_ + column) * 3];
    p[0] += r;
    p[1] += g;
    p[2] += b;
  }
}

void BeamImage::AddStrayPath(double x0, double y0, double x1, double y1) {
  if (marks_.empty())
    return;
  const double c0 = left_ + (x0 + 0.5) * side_ - 0.5, r0 = top_ + (0.5 - y0) * side_ - 0.5;
  const double c1 = left_ + (x1 + 0.5) * side_ - 0.5, r1 = top_ + (0.5 - y1) * side_ - 0.5;
  Extend(c0, r0, kStrayHalfWidth + 1);
  Extend(c1, r1, kStrayHalfWidth + 1);
  const double span = std::max(std::abs(c1 - c0), std::abs(r1 - r0));
  const int steps = std::max(1, static_cast<int>(std::ceil(span)));
  const double dc = (c1 - c0) / steps, dr = (r1 - r0) / steps;
  const auto level = static_cast<float>(gain_);
  // The band is drawn across the line's main direction, one pixel a step.
  const bool alongColumns = std::abs(dc) >= std::abs(dr);
  for (int i = 0; i <= steps; ++i) {
    const auto column = static_cast<std::int32_t>(std::lrint(c0 + dc * i));
    const auto row = static_cast<std::int32_t>(std::lrint(r0 + dr * i));
    for (int d = -kStrayHalfWidth; d <= kStrayHalfWidth; ++d) {
      const std::int32_t c = alongColumns ? column : column + d;
      const std::int32_t r = alongColumns ? row + d : row;
      if (c >= 0 && c < width_ && r >= 0 && r < height_)
        marks_[static_cast<std::size_t>(r) * width_ + c] = level;
    }
  }
}

PixelRect BeamImage::Compose(std::span<std::uint32_t> pixels, double afterSec,
                             std::uint32_t topBits) {
  PixelRect area = lit_;
  if (area.Empty()) {
    area = composed_;
  } else if (!composed_.Empty()) {
    area = {std::min(area.Left, composed_.Left), std::min(area.Top, composed_.Top),
            std::max(area.Right, composed_.Right), std::max(area.Bottom, composed_.Bottom)};
  }
  composed_ = lit_;
  if (area.Empty() || pixels.size() < marks_.size())
    return area;
  const double fade = std::exp(-std::max(afterSec, 0.0) / persistenceSec_) / gain_;
  const auto toLevel = static_cast<float>(fade / kFullLevelSecPerField);
  const auto toTint = static_cast<float>(fade * kStrayTintLevel);
  for (std::int32_t row = area.Top; row <= area.Bottom; ++row) {
    const std::size_t rowStart = static_cast<std::size_t>(row) * width_;
    const float* light = light_.data() + 3 * rowStart;
    const float* marks = marks_.data() + rowStart;
    std::uint32_t* out = pixels.data() + rowStart;
    for (std::int32_t i = area.Left; i <= area.Right; ++i) {
      float r = std::min(light[3 * i] * toLevel, 255.0f);
      float g = std::min(light[3 * i + 1] * toLevel, 255.0f);
      float b = std::min(light[3 * i + 2] * toLevel, 255.0f);
      if (marks[i] != 0) {
        // The haze lies under the beam: it shows where the beam is dark and
        // gives way as the beam brightens, so the beam keeps its colour.
        const float tint =
            std::min(marks[i] * toTint, kStrayTintLevel) * (1.0f - std::max({r, g, b}) / 255.0f);
        r += tint;
        g += tint;
        b += tint;
      }
      out[i] = (static_cast<std::uint32_t>(std::lrint(r)) << 16) |
               (static_cast<std::uint32_t>(std::lrint(g)) << 8) |
               static_cast<std::uint32_t>(std::lrint(b)) | topBits;
    }
  }
  return area;
}

}  // namespace whorlgen::projection
