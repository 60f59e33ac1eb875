// The size of the display, as the window layer reports it.
#include <atomic>

#include "platform/gdi/gdi.h"

namespace {
std::atomic<int> g_displayWidth{240};
std::atomic<int> g_displayHeight{320};
}  // namespace

void SetDisplayMetrics(int width, int height) {
  g_displayWidth = width;
  g_displayHeight = height;
}

int GetDeviceCaps(HDC /*every DC shows the one display*/, int index) {
  switch (index) {
    case HORZRES: return g_displayWidth;
    case VERTRES: return g_displayHeight;
    default: return 0;
  }
}
