#include "server/fingerprint/wav_body.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace melodex::server {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct Format {
    uint16_t tag = 0;
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint16_t bytesPerSample = 0;
};

WavParse fail(WavStatus status, std::string message) {
    WavParse result;
    result.status = status;
    result.message = std::move(message);
    return result;
}

bool readFormat(const uint8_t* chunk, uint32_t size, Format& format, std::string& why) {
    if (size < 16) {
        why = "format chunk too small";
        return false;
    }
    format.tag = le16(chunk);
    format.channels = le16(chunk + 2);
    format.rate = le32(chunk + 4);
    const uint16_t blockAlign = le16(chunk + 12);
    if (format.tag == kFormatExtensible && size >= 26) format.tag = le16(chunk + 24);
    if (format.tag != kFormatPcm && format.tag != kFormatFloat) {
        why = "only PCM and float WAV are accepted";
        return false;
    }
    if (format.channels == 0 || format.channels > 8) {
        why = "unsupported channel count";
        return false;
    }
    if (format.rate < static_cast<uint32_t>(kMinSampleRate) || format.rate > static_cast<uint32_t>(kMaxSampleRate)) {
        why = "unsupported sample rate";
        return false;
    }
    if (blockAlign == 0 || blockAlign % format.channels != 0) {
        why = "inconsistent block alignment";
        return false;
    }
    format.bytesPerSample = static_cast<uint16_t>(blockAlign / format.channels);
    const bool widthOk = format.tag == kFormatFloat ? format.bytesPerSample == 4 || format.bytesPerSample == 8
                                                    : format.bytesPerSample >= 1 && format.bytesPerSample <= 4;
    if (!widthOk) {
        why = "unsupported sample width";
        return false;
    }
    return true;
}

float clamped(double v) { return v != v ? 0.0f : static_cast<float>(v > 1.0 ? 1.0 : (v < -1.0 ? -1.0 : v)); }

float sampleAt(const uint8_t* p, const Format& format) {
    switch (format.bytesPerSample) {
    case 1: return (static_cast<int>(p[0]) - 128) / 128.0f;
    case 2: return static_cast<int16_t>(le16(p)) / 32768.0f;
    case 3: {
        int32_t v = static_cast<int32_t>(le32(p) << 8) >> 8;
        if (p[2] & 0x80) v |= static_cast<int32_t>(0xFF000000u);
        return static_cast<float>(v) / 8388608.0f;
    }
    case 8: {
        double d;
        std::memcpy(&d, p, sizeof d);
        return clamped(d);
    }
    default:
        if (format.tag == kFormatFloat) {
            float f;
            std::memcpy(&f, p, sizeof f);
            return clamped(f);
        }
        return static_cast<float>(static_cast<int32_t>(le32(p))) / 2147483648.0f;
    }
}

}  // namespace

WavParse parseWavBody(const uint8_t* data, size_t size) {
    if (data == nullptr || size == 0) return fail(WavStatus::Empty, "empty body");
    if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0)
        return fail(WavStatus::NotWav, "body is not a RIFF/WAVE file");

    // The client stores the RIFF size big-endian, ordinary files little-endian; a body shorter than
    // both readings promise has been cut off (a size of 0 or ~0 marks a stream and promises nothing).
    const uint32_t riffLe = le32(data + 4);
    const uint32_t riffBe = (uint32_t{data[4]} << 24) | (uint32_t{data[5]} << 16) | (uint32_t{data[6]} << 8) | data[7];
    if (riffLe != 0xFFFFFFFFu && std::min(riffLe, riffBe) > size - 8)
        return fail(WavStatus::Truncated, "body is shorter than its RIFF size");
    Format format;
    bool haveFormat = false;
    size_t pos = 12;
    while (true) {
        if (pos + 8 > size) return fail(WavStatus::Truncated, "no data chunk before the end of the body");
        const uint8_t* header = data + pos;
        const uint32_t chunkSize = le32(header + 4);
        const size_t bodyStart = pos + 8;
        const size_t remaining = size - bodyStart;
        if (std::memcmp(header, "data", 4) == 0) {
            if (!haveFormat) return fail(WavStatus::NotWav, "data chunk before the format chunk");
            // A size of 0 (the client's form) or the streaming marker means "up to the end".
            size_t dataBytes = remaining;
            if (chunkSize != 0 && chunkSize != 0xFFFFFFFFu) {
                if (chunkSize > remaining) return fail(WavStatus::Truncated, "data chunk is cut short");
                dataBytes = chunkSize;
            }
            const size_t frameBytes = static_cast<size_t>(format.bytesPerSample) * format.channels;
            const size_t frames = dataBytes / frameBytes;
            if (frames < static_cast<size_t>(kMinimumQuerySeconds * format.rate))
                return fail(WavStatus::TooShort, "recording is shorter than one second");
            WavParse result;
            result.audio.sampleRate = static_cast<int>(format.rate);
            result.audio.channels = format.channels;
            result.audio.samples.resize(frames * format.channels);
            const uint8_t* p = data + bodyStart;
            for (float& s : result.audio.samples) {
                s = sampleAt(p, format);
                p += format.bytesPerSample;
            }
            return result;
        }
        if (chunkSize > remaining) return fail(WavStatus::Truncated, "chunk runs past the end of the body");
        if (std::memcmp(header, "fmt ", 4) == 0) {
            std::string why;
            if (!readFormat(data + bodyStart, chunkSize, format, why)) return fail(WavStatus::Unsupported, why);
            haveFormat = true;
        }
        pos = bodyStart + chunkSize + (chunkSize & 1u);
    }
}

std::vector<uint8_t> buildClientBody(const std::vector<float>& samples8k) {
    std::vector<uint8_t> body(kClientBodySize, 0);
    auto put = [&](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) body[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    std::memcpy(&body[0], "RIFF", 4);
    // The client stores the RIFF size, 180088, most significant byte first.
    const uint32_t riffSize = kClientBodySize - 8;
    for (int i = 0; i < 4; ++i) body[4 + i] = static_cast<uint8_t>(riffSize >> (24 - 8 * i));
    std::memcpy(&body[8], "WAVEfmt ", 8);
    put(16, 16, 4);
    put(20, kFormatPcm, 2);
    put(22, 1, 2);
    put(24, 8000, 4);
    put(28, 16000, 4);
    put(32, 2, 2);
    put(34, 1, 2);  // the client's bits field holds 1
    std::memcpy(&body[36], "PAD ", 4);
    put(40, kClientHeaderSize - 52, 4);
    std::memcpy(&body[kClientHeaderSize - 8], "data", 4);
    const size_t count = std::min(samples8k.size(), (kClientBodySize - kClientHeaderSize) / 2);
    for (size_t i = 0; i < count; ++i) {
        const float v = std::max(-1.0f, std::min(1.0f, samples8k[i]));
        const auto s = static_cast<int16_t>(std::lround(v * 32767.0f));
        put(kClientHeaderSize + 2 * i, static_cast<uint16_t>(s), 2);
    }
    return body;
}

}  // namespace melodex::server
