#include "preview/preview_surface.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <cstdint>
#include <vector>

#include "engine/frame_generator.h"
#include "preview/rasteriser.h"

namespace whorlgen::preview {
namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "preview_tests";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

TEST(PreviewSurfaceTest, ShowsTheRenderedFrameInItsImageAndOnScreen) {
  App();
  PreviewSurface surface(249);
  ASSERT_EQ(surface.InnerWidth(), 245);
  ASSERT_EQ(surface.InnerHeight(), 245);
  EXPECT_EQ(surface.Image().format(), QImage::Format_RGB32);

  PreviewRenderer renderer;
  renderer.Setup(surface.InnerWidth(), surface.InnerHeight());
  const std::vector<engine::LaserPoint> frame{{0, 4095, 255, 0, 0, 0},      // red, top left
                                              {4095, 0, 0, 0, 255, 0},      // blue, bottom right
                                              {2048, 2048, 0, 128, 0, 0}};  // green, centre
  renderer.DrawPreview(frame, false, surface);

  const QImage& image = surface.Image();
  EXPECT_EQ(image.pixelColor(0, 0), QColor(255, 0, 0));
  EXPECT_EQ(image.pixelColor(244, 244), QColor(0, 0, 255));
  EXPECT_EQ(image.pixelColor(122, 122), QColor(0, 128, 0));
  EXPECT_EQ(image.pixelColor(5, 200), QColor(0, 0, 0));

  // What the widget paints, border included: the image sits inside the
  // 2-pixel frame, opaque.
  const QImage painted = surface.grab().toImage().convertToFormat(QImage::Format_ARGB32);
  EXPECT_EQ(painted.pixelColor(2, 2), QColor(255, 0, 0));
  EXPECT_EQ(painted.pixelColor(2 + 244, 2 + 244), QColor(0, 0, 255));
  EXPECT_EQ(painted.pixelColor(2 + 5, 2 + 200), QColor(0, 0, 0));

  // Drawn onto a surface with alpha, black stays opaque black.
  QImage withAlpha(surface.size(), QImage::Format_ARGB32_Premultiplied);
  withAlpha.fill(Qt::transparent);
  surface.render(&withAlpha);
  EXPECT_EQ(withAlpha.pixelColor(2 + 5, 2 + 200), QColor(0, 0, 0));
  EXPECT_EQ(withAlpha.pixelColor(2 + 122, 2 + 122), QColor(0, 128, 0));

  // The next frame replaces the whole picture.
  renderer.DrawPreview(std::vector<engine::LaserPoint>{{0, 0, 9, 9, 9, 0}}, false, surface);
  EXPECT_EQ(surface.Image().pixelColor(0, 0), QColor(0, 0, 0));
  EXPECT_EQ(surface.Image().pixelColor(0, 244), QColor(9, 9, 9));
}

}  // namespace
}  // namespace whorlgen::preview
