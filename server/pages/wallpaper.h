#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace melodex::server {

struct ScreenSize {
    int width;
    int height;
};

// The sizes the wallpaper page offers: two common phone screens and the client's own two.
constexpr ScreenSize kWallpaperSizes[] = {{720, 1440}, {1080, 2340}, {240, 320}, {480, 640}};

// "720x1440.jpg" names one of the sizes; false for anything else.
bool parseWallpaperName(const std::string& name, ScreenSize& out);

// A wallpaper of the size: the cover (JPEG or PNG, full size) as wide as the screen, centred on
// a ground of its own average colour, darkened.
bool makeWallpaper(const std::vector<uint8_t>& cover, const ScreenSize& size, std::vector<uint8_t>& jpeg,
                   std::string& error);

}  // namespace melodex::server
