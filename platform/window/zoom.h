// The zoom of the desktop window: how many screen pixels show one client
// pixel, chosen from the display unless the user names it, and the way a
// point of the zoomed window maps back to the client area.
#pragma once

#include <string>

#include "platform/types.h"

// PlatformOptions::zoom's value for "choose from the display".
constexpr int kAutoZoom = 0;

// The whole-number zoom at which a client area `clientHeight` pixels high
// takes about half of a usable display `usableHeight` pixels high, on a
// desktop that draws everything `desktopScale` times larger than at 96 DPI:
// the window then has the physical size it would have at scale 1. At least 1.
int ChooseZoom(int usableHeight, int clientHeight, double desktopScale);

// The desktop's own scale: GDK_SCALE when set, else Xft.dpi / 96 from the X
// resource string; 1 when neither says.
double DesktopScale(const char* gdkScale, const std::string& xResources);

// A point of the window zoomed `zoom` times, in client pixels, kept inside
// the client area.
POINT ClientPointFromWindow(int x, int y, int zoom, int clientWidth, int clientHeight);
