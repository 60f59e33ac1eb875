#include "tests/server/pictures.h"

#include <cstring>
#include <utility>

#include <png.h>
#include <turbojpeg.h>

namespace melodex::server::test {
namespace {

std::vector<uint8_t> gradient(int width, int height) {
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = static_cast<uint8_t>(x * 255 / width);
            p[1] = static_cast<uint8_t>(y * 255 / height);
            p[2] = 128;
        }
    return rgb;
}

}  // namespace

std::vector<uint8_t> makeJpeg(int width, int height) {
    std::vector<uint8_t> rgb = gradient(width, height);
    tjhandle tj = tjInitCompress();
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    tjCompress2(tj, rgb.data(), width, 0, height, TJPF_RGB, &buffer, &size, TJSAMP_444, 90, 0);
    std::vector<uint8_t> out(buffer, buffer + size);
    tjFree(buffer);
    tjDestroy(tj);
    return out;
}

std::vector<uint8_t> makePng(int width, int height) {
    std::vector<uint8_t> rgb = gradient(width, height);
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr);
    std::vector<uint8_t> out(size);
    png_image_write_to_memory(&image, out.data(), &size, 0, rgb.data(), 0, nullptr);
    out.resize(size);
    return out;
}

std::pair<int, int> jpegSize(const std::vector<uint8_t>& jpeg) {
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    if (tjDecompressHeader3(tj, jpeg.data(), static_cast<unsigned long>(jpeg.size()), &w, &h, &sub, &cs) != 0) w = h = 0;
    tjDestroy(tj);
    return {w, h};
}

}  // namespace melodex::server::test
