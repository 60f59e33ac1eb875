#include "tests/server/pictures.h"

#include <png.h>
#include <turbojpeg.h>

#include <memory>

#include "server/catalog/thumbnail.h"

namespace melodex::server::test {
namespace {

std::vector<uint8_t> gradient(int width, int height) {
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rgb.insert(rgb.end(), {static_cast<uint8_t>(x * 255 / width), static_cast<uint8_t>(y * 255 / height), 128});
    return rgb;
}

}  // namespace

std::vector<uint8_t> makeJpeg(int width, int height) {
    std::vector<uint8_t> jpeg;
    std::string error;
    encodeJpeg({width, height, gradient(width, height)}, jpeg, error);
    return jpeg;
}

std::vector<uint8_t> makePng(int width, int height) {
    std::vector<uint8_t> rgb = gradient(width, height);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr);
    std::vector<uint8_t> out(size);
    png_image_write_to_memory(&image, out.data(), &size, 0, rgb.data(), 0, nullptr);
    return out;
}

std::pair<int, int> jpegSize(const std::string& jpeg) {
    const std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
    const auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    int w = 0, h = 0, sub = 0, cs = 0;
    if (tjDecompressHeader3(tj.get(), bytes, jpeg.size(), &w, &h, &sub, &cs) != 0) return {0, 0};
    return {w, h};
}

}  // namespace melodex::server::test
