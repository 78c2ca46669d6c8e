// whorlgen-layout: prints the panel's layout table in pixels, one control a
// line: "name left top width height rows" (rows: the rows a list box shows,
// else 0), after a first line "client 0 0 width height 0" for the client
// area. Scripts that click the real window read their positions from it.

#include <cstdio>

#include "ui/control_table.h"

int main() {
  using namespace whorlgen::ui;
  std::printf("client 0 0 %d %d 0\n", PixelsFromTwips(kClientWidthTwips),
              PixelsFromTwips(kClientHeightTwips));
  for (const ControlSpec& spec : ControlTable()) {
    std::printf("%s %d %d %d %d %d\n", spec.Name, PixelsFromTwips(spec.LeftTwips),
                PixelsFromTwips(spec.TopTwips), PixelsFromTwips(spec.WidthTwips),
                PixelsFromTwips(spec.HeightTwips), spec.VisibleRows);
  }
  return 0;
}
