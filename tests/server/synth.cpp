#include "tests/server/synth.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>

namespace melodex::server::test {
namespace {

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

double noteHz(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

// A note with its own mix of four harmonics, decaying from a quick attack.
void addNote(std::vector<float>& out, int rate, size_t start, size_t length, double hz, double amplitude,
             const double (&harmonics)[4] = {1.0, 0.5, 0.33, 0.25}) {
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double envelope = std::exp(-2.5 * t) * std::min(1.0, t * 200.0);
        double v = 0;
        for (int h = 1; h <= 4; ++h) v += harmonics[h - 1] * std::sin(2 * M_PI * hz * h * t);
        out[start + i] += static_cast<float>(amplitude * envelope * v);
    }
}

}  // namespace

std::vector<float> tone(double hz, double seconds, int rate, double amplitude) {
    std::vector<float> out(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * hz * i / rate));
    return out;
}

std::vector<float> sweep(double fromHz, double toHz, double seconds, int rate) {
    std::vector<float> out(static_cast<size_t>(seconds * rate));
    double phase = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        const double hz = fromHz + (toHz - fromHz) * i / out.size();
        phase += 2 * M_PI * hz / rate;
        out[i] = static_cast<float>(0.5 * std::sin(phase));
    }
    return out;
}

std::vector<float> chordSequence(const std::vector<std::vector<int>>& chords, double chordSeconds, int rate) {
    const size_t step = static_cast<size_t>(chordSeconds * rate);
    std::vector<float> out(step * chords.size());
    for (size_t c = 0; c < chords.size(); ++c)
        for (int note : chords[c]) addNote(out, rate, c * step, step, noteHz(note), 0.15);
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
    std::vector<uint8_t> b(44 + pcm.size() * 2);
    std::memcpy(&b[0], "RIFF", 4);
    put32(b, 4, static_cast<uint32_t>(b.size() - 8));
    std::memcpy(&b[8], "WAVEfmt ", 8);
    put32(b, 16, 16);
    put16(b, 20, 1);
    put16(b, 22, static_cast<uint16_t>(channels));
    put32(b, 24, static_cast<uint32_t>(rate));
    put32(b, 28, static_cast<uint32_t>(rate * channels * 2));
    put16(b, 32, static_cast<uint16_t>(channels * 2));
    put16(b, 34, 16);
    std::memcpy(&b[36], "data", 4);
    put32(b, 40, static_cast<uint32_t>(pcm.size() * 2));
    std::memcpy(&b[44], pcm.data(), pcm.size() * 2);
    return b;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> clientBody(const std::vector<float>& samples8k) {
    std::vector<uint8_t> b(180096, 0);
    std::memcpy(&b[0], "RIFF", 4);
    b[4] = 0x00;  // 180088, most significant byte first
    b[5] = 0x02;
    b[6] = 0xBF;
    b[7] = 0x78;
    std::memcpy(&b[8], "WAVEfmt ", 8);
    put32(b, 16, 16);
    put16(b, 20, 1);
    put16(b, 22, 1);
    put32(b, 24, 8000);
    put32(b, 28, 16000);
    put16(b, 32, 2);
    put16(b, 34, 1);  // the client's bits field
    std::memcpy(&b[36], "PAD ", 4);
    put32(b, 40, 4044);
    std::memcpy(&b[4088], "data", 4);
    put32(b, 4092, 0);
    const std::vector<int16_t> pcm = toPcm16(samples8k);
    const size_t n = std::min<size_t>(pcm.size(), 88000);
    std::memcpy(&b[4096], pcm.data(), n * 2);
    return b;
}

}  // namespace melodex::server::test
