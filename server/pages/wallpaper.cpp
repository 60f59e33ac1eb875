#include "server/pages/wallpaper.h"

#include <algorithm>
#include <cstddef>

#include "server/catalog/thumbnail.h"

namespace melodex::server {
namespace {

// The ground is the cover's average colour at this share of its brightness.
constexpr unsigned kGroundPercent = 60;

void averageColour(const RgbPicture& picture, uint8_t rgb[3]) {
    uint64_t sum[3] = {0, 0, 0};
    for (size_t i = 0; i < picture.pixels.size(); i += 3)
        for (int c = 0; c < 3; ++c) sum[c] += picture.pixels[i + c];
    const uint64_t count = std::max<uint64_t>(1, picture.pixels.size() / 3);
    for (int c = 0; c < 3; ++c) rgb[c] = static_cast<uint8_t>(sum[c] / count * kGroundPercent / 100);
}

}  // namespace

bool parseWallpaperName(const std::string& name, ScreenSize& out) {
    for (const ScreenSize& size : kWallpaperSizes) {
        if (name == std::to_string(size.width) + "x" + std::to_string(size.height) + ".jpg") {
            out = size;
            return true;
        }
    }
    return false;
}

bool makeWallpaper(const std::vector<uint8_t>& cover, const ScreenSize& size, std::vector<uint8_t>& jpeg,
                   std::string& error) {
    RgbPicture art;
    const int side = std::min(size.width, size.height);
    if (!decodePicture(cover, side, true, art, error)) return false;
    // As wide as the screen where the cover is large enough; a small one stays at its own size.
    const double scale = std::min(1.0, std::min(static_cast<double>(size.width) / art.width,
                                                static_cast<double>(size.height) / art.height));
    if (scale < 1.0)
        art = shrink(art, std::max(1, static_cast<int>(art.width * scale + 0.5)),
                     std::max(1, static_cast<int>(art.height * scale + 0.5)));
    RgbPicture screen;
    screen.width = size.width;
    screen.height = size.height;
    uint8_t ground[3];
    averageColour(art, ground);
    screen.pixels.resize(static_cast<size_t>(size.width) * size.height * 3);
    for (size_t i = 0; i < screen.pixels.size(); i += 3) std::copy(ground, ground + 3, screen.pixels.begin() + i);
    const int left = (size.width - art.width) / 2, top = (size.height - art.height) / 2;
    for (int y = 0; y < art.height; ++y) {
        const auto row = art.pixels.begin() + static_cast<std::ptrdiff_t>(y) * art.width * 3;
        std::copy(row, row + art.width * 3,
                  screen.pixels.begin() + (static_cast<std::ptrdiff_t>(top + y) * size.width + left) * 3);
    }
    return encodeJpeg(screen, jpeg, error);
}

}  // namespace melodex::server
