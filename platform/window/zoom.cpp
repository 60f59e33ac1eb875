#include "platform/window/zoom.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

int ChooseZoom(int usableHeight, int clientHeight, double desktopScale) {
  if (usableHeight <= 0 || clientHeight <= 0) return 1;
  const double scale = std::clamp(desktopScale, 1.0, 8.0);
  // Chosen at scale 1 on the display as the desktop lays it out, then drawn
  // at the desktop's scale; whole numbers keep every pixel crisp.
  const double logicalHeight = usableHeight / scale;
  const long atScaleOne = std::max(1L, std::lround(logicalHeight / (2.0 * clientHeight)));
  return static_cast<int>(std::clamp(std::lround(static_cast<double>(atScaleOne) * scale), 1L, 8L));
}

double DesktopScale(const char* gdkScale, const std::string& xResources) {
  if (gdkScale && *gdkScale) {
    const int scale = std::atoi(gdkScale);
    if (scale >= 1) return scale;
  }
  std::istringstream lines(xResources);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Xft.dpi:", 0) != 0) continue;
    const double dpi = std::atof(line.c_str() + 8);
    if (dpi > 0) return dpi / 96.0;
  }
  return 1.0;
}

POINT ClientPointFromWindow(int x, int y, int zoom, int clientWidth, int clientHeight) {
  zoom = std::max(zoom, 1);
  return POINT{std::clamp(x / zoom, 0, std::max(clientWidth - 1, 0)),
               std::clamp(y / zoom, 0, std::max(clientHeight - 1, 0))};
}
