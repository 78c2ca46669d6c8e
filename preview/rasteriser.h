#pragma once
// The live preview's rasteriser: draws one frame of laser points into a
// 32-bit 0x00RRGGBB pixel buffer, hands the buffer to an upload, then puts
// the buffer back to black by clearing only the pixels it wrote. Plain C++:
// the upload is the only way out to the window.

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "engine/frame_generator.h"

namespace whorlgen::preview {

// r x 65536 + g x 256 + b; the top byte stays 0. Zero is black.
constexpr std::uint32_t PackRGB(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return (std::uint32_t{r} << 16) | (std::uint32_t{g} << 8) | std::uint32_t{b};
}

// Receives the finished buffer once per frame: width x height pixels, rows
// top to bottom, width x 4 bytes per row with no padding. The pixels are only
// valid during the call.
class PreviewUpload {
 public:
  virtual void Upload(const std::uint32_t* pixels, std::int32_t byteCount) = 0;

 protected:
  ~PreviewUpload() = default;
};

// Adapts any callable taking (const std::uint32_t*, std::int32_t) to an upload.
template <typename Fn>
class UploadFunction final : public PreviewUpload {
 public:
  explicit UploadFunction(Fn fn) : fn_(std::move(fn)) {}
  void Upload(const std::uint32_t* pixels, std::int32_t byteCount) override {
    fn_(pixels, byteCount);
  }

 private:
  Fn fn_;
};

class PreviewRenderer {
 public:
  // The pixel writes one frame can list for clearing.
  static constexpr std::size_t kTouchedCapacity = 1'000'001;

  // Allocates both buffers once, all zero. The surface must be at least
  // 3 x 3 (dot mode needs a one-pixel margin) and its byte count must fit in
  // 32 bits; otherwise throws std::invalid_argument and keeps the old size.
  void Setup(std::int32_t width, std::int32_t height);

  // Draws the frame (line mode, or dot mode with a 3 x 3 block around every
  // lit point), uploads the buffer once, and clears it again, also when the
  // upload throws. Black points are not drawn. Allocates nothing. Before
  // Setup it does nothing at all.
  void DrawPreview(std::span<const engine::LaserPoint> frame, bool showDots, PreviewUpload& upload);

  std::int32_t PreviewWidth() const { return width_; }
  std::int32_t PreviewHeight() const { return height_; }
  std::int32_t PreviewByteCount() const { return byteCount_; }

  // The buffer as it stands; all zero whenever DrawPreview is not running.
  std::span<const std::uint32_t> PreviewPixels() const { return pixels_; }

  // Entries of the touched list that the last frame filled, and the pixel
  // writes it made in all (more than the list holds when it overflowed, in
  // which case the whole buffer was cleared instead).
  std::size_t TouchedCount() const {
    return writeCount_ < kTouchedCapacity ? writeCount_ : kTouchedCapacity;
  }
  std::size_t PixelWriteCount() const { return writeCount_; }
  std::span<const std::int32_t> TouchedPixels() const {
    return std::span(touched_).first(TouchedCount());
  }

 private:
  struct Pixel {
    std::int32_t Column;
    std::int32_t Row;
  };
  struct Mapping {
    double ScaleX;
    double ScaleY;
    double Offset;  // 1 in dot mode: a one-pixel margin all round
  };

  Mapping MappingFor(bool showDots) const;
  static Pixel MapPoint(const engine::LaserPoint& point, const Mapping& mapping);
  void SetPixel(std::int32_t index, std::uint32_t colour);
  void DrawBlockNeighbours(Pixel centre, std::uint32_t colour);
  void DrawSegment(Pixel from, Pixel to, std::uint32_t colour);
  void ClearWritten();

  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  std::int32_t byteCount_ = 0;
  std::vector<std::uint32_t> pixels_;
  std::vector<std::int32_t> touched_;
  std::size_t writeCount_ = 0;
};

}  // namespace whorlgen::preview
