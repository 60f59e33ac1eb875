#include "tests/server/synth.h"

#include <png.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>

#include "server/catalog/thumbnail.h"

namespace melodex::server::test {
namespace {

// Appends the `bytes` low bytes of `v`, least significant first.
void append(std::vector<uint8_t>& b, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

double noteHz(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

// A note with its own mix of four harmonics, decaying from a quick attack.
void addNote(std::vector<float>& out, int rate, size_t start, size_t length, double hz, double amplitude,
             const double (&harmonics)[4]) {
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double envelope = std::exp(-2.5 * t) * std::min(1.0, t * 200.0);
        double v = 0;
        for (int h = 1; h <= 4; ++h) v += harmonics[h - 1] * std::sin(2 * M_PI * hz * h * t);
        out[start + i] += static_cast<float>(amplitude * envelope * v);
    }
}

// A RIFF header: "RIFF", the size in the given byte order, "WAVEfmt " and a 16-byte PCM format.
std::vector<uint8_t> riffHeader(uint32_t riffSize, bool bigEndian, int rate, int channels, int bits, int blockAlign) {
    std::vector<uint8_t> b = {'R', 'I', 'F', 'F'};
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(riffSize >> (bigEndian ? 24 - 8 * i : 8 * i)));
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    const std::pair<int, int> fields[] = {{16, 4}, {1, 2}, {channels, 2}, {rate, 4}, {rate * blockAlign, 4},
                                          {blockAlign, 2}, {bits, 2}};  // value and width of each field
    for (const auto& [value, bytes] : fields)
        append(b, static_cast<uint32_t>(value), bytes);
    return b;
}

std::vector<uint8_t> gradient(int width, int height) {
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rgb.insert(rgb.end(), {static_cast<uint8_t>(x * 255 / width), static_cast<uint8_t>(y * 255 / height), 128});
    return rgb;
}

}  // namespace

std::vector<float> tone(double hz, double seconds) {
    std::vector<float> out(static_cast<size_t>(seconds * 8000));
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * hz * i / 8000));
    return out;
}

std::vector<float> melody(uint32_t seed, double seconds, int rate) {
    std::mt19937 rng(seed * 2654435761u + 17);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<float> out(static_cast<size_t>(seconds * rate));
    // Every song gets its own tempo, key, range and timbre.
    const size_t beat = static_cast<size_t>(rate * (0.12 + 0.25 * unit(rng)));
    const int low = 52 + static_cast<int>(unit(rng) * 12);
    std::uniform_int_distribution<int> pitch(low, low + 24), bass(low - 18, low - 6), beatsPerNote(1, 3);
    double lead[4], second[4], low4[4];
    for (auto* timbre : {&lead, &second, &low4})
        for (double& h : *timbre) h = 0.1 + unit(rng);
    std::normal_distribution<float> hiss(0.0f, 1.0f);
    size_t beats = 0;
    for (size_t at = 0; at < out.size();) {
        const size_t n = static_cast<size_t>(beatsPerNote(rng));
        const size_t length = beat * n;
        addNote(out, rate, at, length * 2, noteHz(pitch(rng)), 0.2, lead);
        if (unit(rng) < 0.3) addNote(out, rate, at, length * 2, noteHz(pitch(rng)), 0.12, second);
        if (beats % 4 == 0) addNote(out, rate, at, beat * 4, noteHz(bass(rng)), 0.25, low4);
        // A short noise burst, like a hi-hat, on some beats.
        if (unit(rng) < 0.5)
            for (size_t i = 0; i < static_cast<size_t>(rate / 50) && at + i < out.size(); ++i)
                out[at + i] += 0.08f * hiss(rng) * std::exp(-static_cast<float>(i) / (rate / 200.0f));
        at += length;
        beats += n;
    }
    for (float& s : out) s = std::max(-1.0f, std::min(1.0f, s * 0.8f));
    return out;
}

void addWhiteNoise(std::vector<float>& signal, double snrDb, uint32_t seed) {
    double power = 0;
    for (float s : signal) power += static_cast<double>(s) * s;
    power /= static_cast<double>(signal.size());
    const double sigma = std::sqrt(power / std::pow(10.0, snrDb / 10.0));
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, sigma);
    for (float& s : signal) s = static_cast<float>(s + noise(rng));
}

std::vector<int16_t> toPcm16(const std::vector<float>& samples) {
    std::vector<int16_t> out(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        const float v = std::max(-1.0f, std::min(1.0f, samples[i]));
        out[i] = static_cast<int16_t>(std::lround(v * 32767.0f));
    }
    return out;
}

std::vector<uint8_t> wavFile(const std::vector<float>& samples, int rate, int channels) {
    const std::vector<int16_t> pcm = toPcm16(samples);
    const auto size = static_cast<uint32_t>(36 + pcm.size() * 2);
    std::vector<uint8_t> b = riffHeader(size, false, rate, channels, 16, 2 * channels);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    append(b, static_cast<uint32_t>(pcm.size() * 2), 4);
    b.resize(44 + pcm.size() * 2);
    std::memcpy(&b[44], pcm.data(), pcm.size() * 2);
    return b;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The client writes its RIFF size (180088) most significant byte first, a bits field of 1, a
// padding chunk up to 4088 bytes, and a data chunk of size 0.
std::vector<uint8_t> clientBody(const std::vector<float>& samples8k) {
    std::vector<uint8_t> b = riffHeader(180088, true, 8000, 1, 1, 2);
    b.insert(b.end(), {'P', 'A', 'D', ' '});
    append(b, 4044, 4);
    b.resize(4088);
    b.insert(b.end(), {'d', 'a', 't', 'a', 0, 0, 0, 0});
    const std::vector<int16_t> pcm = toPcm16(samples8k);
    b.resize(180096, 0);
    std::memcpy(&b[4096], pcm.data(), std::min<size_t>(pcm.size(), 88000) * 2);
    return b;
}

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
