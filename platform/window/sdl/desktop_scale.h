// The scale at which the running desktop session draws applications.
#pragma once

// 1 under Wayland, whose compositor scales the window itself; on X11 the
// scale that GDK_SCALE or the X resources' Xft.dpi ask for. Call after SDL's
// video subsystem is up.
double SessionDesktopScale();
