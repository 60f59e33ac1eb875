#include "server/catalog/thumbnail.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <png.h>
#include <turbojpeg.h>

namespace melodex::server {
namespace {

struct TjDestroy {
    void operator()(void* h) const { tjDestroy(h); }
};

// Pictures larger than this are refused rather than decoded.
constexpr int kMaxInputSide = 8192;

bool decodeJpeg(const std::vector<uint8_t>& data, int side, bool enlarge, RgbPicture& out, std::string& error) {
    std::unique_ptr<void, TjDestroy> tj(tjInitDecompress());
    int width = 0, height = 0, subsamp = 0, colorspace = 0;
    if (!tj || tjDecompressHeader3(tj.get(), data.data(), static_cast<unsigned long>(data.size()), &width, &height,
                                   &subsamp, &colorspace) != 0) {
        error = "unreadable JPEG";
        return false;
    }
    if (width <= 0 || height <= 0 || width > kMaxInputSide || height > kMaxInputSide) {
        error = "picture size out of range";
        return false;
    }
    // Let the decoder scale by the factor that comes closest to `side` pixels from above; with
    // `enlarge`, up to twice the size, else never above the picture's own.
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    tjscalingfactor chosen{1, 1};
    int chosenSide = std::max(width, height);
    for (int i = 0; i < count; ++i) {
        const int s = std::max(TJSCALED(width, factors[i]), TJSCALED(height, factors[i]));
        if (!enlarge && s > std::max(width, height)) continue;
        const bool reaches = s >= side, chosenReaches = chosenSide >= side;
        if ((reaches && (!chosenReaches || s < chosenSide)) || (!reaches && !chosenReaches && s > chosenSide)) {
            chosen = factors[i];
            chosenSide = s;
        }
    }
    out.width = TJSCALED(width, chosen);
    out.height = TJSCALED(height, chosen);
    out.pixels.resize(static_cast<size_t>(out.width) * out.height * 3);
    if (tjDecompress2(tj.get(), data.data(), static_cast<unsigned long>(data.size()), out.pixels.data(), out.width, 0,
                      out.height, TJPF_RGB, 0) != 0) {
        error = "damaged JPEG";
        return false;
    }
    return true;
}

bool decodePng(const std::vector<uint8_t>& data, RgbPicture& out, std::string& error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) {
        error = "unreadable PNG";
        return false;
    }
    if (image.width == 0 || image.height == 0 || image.width > kMaxInputSide || image.height > kMaxInputSide) {
        png_image_free(&image);
        error = "picture size out of range";
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.pixels.resize(PNG_IMAGE_SIZE(image));
    // Transparent areas go on white, as on a page.
    png_color white{255, 255, 255};
    if (!png_image_finish_read(&image, &white, out.pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        error = "damaged PNG";
        return false;
    }
    return true;
}

}  // namespace

// Area-averaging reduction: each output pixel is the mean of the input pixels it covers.
RgbPicture shrink(const RgbPicture& in, int width, int height) {
    RgbPicture out;
    out.width = width;
    out.height = height;
    out.pixels.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const int y0 = y * in.height / height, y1 = std::max(y0 + 1, (y + 1) * in.height / height);
        for (int x = 0; x < width; ++x) {
            const int x0 = x * in.width / width, x1 = std::max(x0 + 1, (x + 1) * in.width / width);
            unsigned sum[3] = {0, 0, 0};
            for (int yy = y0; yy < y1; ++yy)
                for (int xx = x0; xx < x1; ++xx)
                    for (int c = 0; c < 3; ++c) sum[c] += in.pixels[(static_cast<size_t>(yy) * in.width + xx) * 3 + c];
            const unsigned n = static_cast<unsigned>((y1 - y0) * (x1 - x0));
            for (int c = 0; c < 3; ++c)
                out.pixels[(static_cast<size_t>(y) * width + x) * 3 + c] = static_cast<uint8_t>((sum[c] + n / 2) / n);
        }
    }
    return out;
}

bool decodePicture(const std::vector<uint8_t>& picture, int side, bool enlarge, RgbPicture& out, std::string& error) {
    const bool isJpeg = picture.size() > 3 && picture[0] == 0xFF && picture[1] == 0xD8;
    const bool isPng = picture.size() > 8 && std::memcmp(picture.data(), "\x89PNG", 4) == 0;
    if (isJpeg) return decodeJpeg(picture, side, enlarge, out, error);
    if (isPng) return decodePng(picture, out, error);
    error = "picture is neither JPEG nor PNG";
    return false;
}

RgbPicture fitWithin(const RgbPicture& picture, int maxSide) {
    if (picture.width <= maxSide && picture.height <= maxSide) return picture;
    const double scale =
        std::min(static_cast<double>(maxSide) / picture.width, static_cast<double>(maxSide) / picture.height);
    return shrink(picture, std::max(1, static_cast<int>(picture.width * scale + 0.5)),
                  std::max(1, static_cast<int>(picture.height * scale + 0.5)));
}

bool encodeJpeg(const RgbPicture& picture, std::vector<uint8_t>& jpeg, std::string& error) {
    jpeg.clear();
    std::unique_ptr<void, TjDestroy> tj(tjInitCompress());
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (!tj || tjCompress2(tj.get(), picture.pixels.data(), picture.width, 0, picture.height, TJPF_RGB, &buffer, &size,
                           TJSAMP_420, 85, 0) != 0) {
        tjFree(buffer);
        error = "cannot encode the picture";
        return false;
    }
    jpeg.assign(buffer, buffer + size);
    tjFree(buffer);
    return true;
}

bool makeThumbnail(const std::vector<uint8_t>& picture, int maxSide, std::vector<uint8_t>& jpeg, std::string& error) {
    jpeg.clear();
    if (maxSide < 8) {
        error = "thumbnail size too small";
        return false;
    }
    RgbPicture rgb;
    if (!decodePicture(picture, maxSide, false, rgb, error)) return false;
    return encodeJpeg(fitWithin(rgb, maxSide), jpeg, error);
}

}  // namespace melodex::server
