#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace melodex::server {

constexpr int kDefaultArtSize = 110;

struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // 3 bytes a pixel
};

// Decodes a JPEG or PNG picture. A JPEG is scaled while it is decoded (by eighths) toward `side`
// pixels on its longer side, staying at or above it where it can: never above its own size, or
// with `enlarge` up to twice it.
bool decodePicture(const std::vector<uint8_t>& picture, int side, bool enlarge, RgbPicture& out, std::string& error);
// Area-averaging reduction to width x height (each no larger than the picture's).
RgbPicture shrink(const RgbPicture& picture, int width, int height);
// The picture itself when it fits within maxSide x maxSide, else reduced to fit, aspect kept.
RgbPicture fitWithin(const RgbPicture& picture, int maxSide);
bool encodeJpeg(const RgbPicture& picture, std::vector<uint8_t>& jpeg, std::string& error);

// Decodes a JPEG or PNG picture and writes a JPEG that fits within maxSide x maxSide pixels,
// aspect kept, never enlarged. Returns false (and leaves `jpeg` empty) for anything else.
bool makeThumbnail(const std::vector<uint8_t>& picture, int maxSide, std::vector<uint8_t>& jpeg, std::string& error);

}  // namespace melodex::server
