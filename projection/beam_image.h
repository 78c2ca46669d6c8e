#pragma once
// What the eye sees of a scanned beam: light adds up where the beam spends
// time, so a slow beam is bright and a fast one dim, colours add, and the
// picture fades with a persistence of some tens of milliseconds. Plain C++:
// the result is a 32-bit 0x00RRGGBB pixel buffer, rows top to bottom.

#include <cstdint>
#include <span>
#include <vector>

namespace whorlgen::projection {

struct Rgb {
  float R = 0, G = 0, B = 0;
};

// Pixel columns Left..Right and rows Top..Bottom, inclusive.
struct PixelRect {
  std::int32_t Left = 0, Top = 0, Right = -1, Bottom = -1;
  bool Empty() const { return Right < Left || Bottom < Top; }
};

class BeamImage {
 public:
  static constexpr double kDefaultPersistenceSec = 0.040;
  // The light that paints a pixel full: this many seconds of a full-level
  // beam per field of path, summed over the persistence.
  static constexpr double kFullLevelSecPerField = 0.02;
  // Where the beam strays from its path, a grey haze of this level (of 255)
  // lies under the light: dark pixels take it, the lit beam keeps its own
  // colour over it, and it fades with the light.
  static constexpr float kStrayTintLevel = 96.0f;
  // The haze reaches this many pixels to each side of the path.
  static constexpr int kStrayHalfWidth = 2;

  // The field is drawn as the largest centred square; everything is black.
  void Resize(std::int32_t width, std::int32_t height);
  std::int32_t Width() const { return width_; }
  std::int32_t Height() const { return height_; }
  void SetPersistence(double seconds) {
    persistenceSec_ = seconds;
    lastAdvanceSec_ = 0;
  }

  // Seconds of beam time since the image began; only Advance moves it.
  double Time() const { return time_; }
  void Advance(double seconds);

  // The beam moved in a straight line from one field position to another,
  // lit in `colour` (levels 0..255), taking `seconds`: its light is spread
  // evenly along the line.
  void AddPath(double x0, double y0, double x1, double y1, Rgb colour, double seconds);
  // The beam strayed from the commanded path while it moved in a straight
  // line from one field position to another: the haze goes along that line.
  void AddStrayPath(double x0, double y0, double x1, double y1);

  // The picture as it stands `afterSec` beyond Time() (the fade once frames
  // stop), into a width x height buffer that was black when the image was
  // resized and that only Compose writes. Bright light saturates at 255.
  // topBits is or-ed into every pixel written (0xFF000000 for an opaque
  // image). Only the pixels that may hold light now or did at the last call
  // are written; returns their rectangle.
  PixelRect Compose(std::span<std::uint32_t> pixels, double afterSec = 0.0,
                    std::uint32_t topBits = 0);

  // Forgets all light.
  void Clear();

 private:
  struct Pixel {
    std::int32_t Column, Row;
  };
  Pixel ToPixel(double x, double y) const;
  void Renormalise();
  void Extend(double column, double row, double margin);

  std::int32_t width_ = 0, height_ = 0;
  double side_ = 0;  // pixels per field
  double left_ = 0, top_ = 0;
  double persistenceSec_ = kDefaultPersistenceSec;
  double time_ = 0;
  // Light is stored grown by exp(t / persistence) at the time it arrives, so
  // old light fades without touching every pixel each frame.
  double gain_ = 1;
  double lastAdvanceSec_ = 0, lastGrowth_ = 1;  // the usual step's growth, kept
  std::vector<float> light_;                    // R, G, B per pixel
  std::vector<float> marks_;                    // the haze, one per pixel, grown like the light
  PixelRect lit_;                               // where light or marks may be
  PixelRect composed_;                          // what the last Compose wrote
};

}  // namespace whorlgen::projection
