// Saving what the window shows, for scripted runs and tests.
#pragma once

#include <string>

#include "platform/gdi/surface.h"

bool SaveSurfacePng(const Surface& surface, const std::string& path);
