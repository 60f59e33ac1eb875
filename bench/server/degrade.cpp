#include "bench/server/degrade.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "server/fingerprint/resampler.h"
#include "server/fingerprint/wav_body.h"

namespace melodex::bench {
namespace {

struct Biquad {
    double b0, b1, b2, a1, a2;
    double z1 = 0, z2 = 0;
    float run(float x) {
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return static_cast<float>(y);
    }
};

// RBJ cookbook filters, Butterworth Q.
Biquad lowPass(double hz, double rate) {
    const double w = 2 * M_PI * hz / rate, alpha = std::sin(w) / (2 * M_SQRT1_2), c = std::cos(w), a0 = 1 + alpha;
    return {(1 - c) / 2 / a0, (1 - c) / a0, (1 - c) / 2 / a0, -2 * c / a0, (1 - alpha) / a0};
}
Biquad highPass(double hz, double rate) {
    const double w = 2 * M_PI * hz / rate, alpha = std::sin(w) / (2 * M_SQRT1_2), c = std::cos(w), a0 = 1 + alpha;
    return {(1 + c) / 2 / a0, -(1 + c) / a0, (1 + c) / 2 / a0, -2 * c / a0, (1 - alpha) / a0};
}

void writeWav(const std::string& path, const std::vector<float>& s) {
    std::vector<uint8_t> b(44 + s.size() * 2);
    auto put = [&](size_t at, uint32_t v, int n) { for (int i = 0; i < n; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i)); };
    std::copy_n("RIFF", 4, b.begin());
    put(4, static_cast<uint32_t>(b.size() - 8), 4);
    std::copy_n("WAVEfmt ", 8, b.begin() + 8);
    put(16, 16, 4); put(20, 1, 2); put(22, 1, 2); put(24, 8000, 4); put(28, 16000, 4); put(32, 2, 2); put(34, 16, 2);
    std::copy_n("data", 4, b.begin() + 36);
    put(40, static_cast<uint32_t>(s.size() * 2), 4);
    for (size_t i = 0; i < s.size(); ++i) {
        const long v = std::lround(std::max(-1.0f, std::min(1.0f, s[i])) * 32767.0f);
        put(44 + 2 * i, static_cast<uint32_t>(static_cast<uint16_t>(static_cast<int16_t>(v))), 2);
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

double power(const std::vector<float>& s) { return bench::power(s.data(), s.data() + s.size()); }

// The phone's input saturates rather than wrapping: scale down if the mix would clip.
void avoidClipping(std::vector<float>& signal) {
    float peak = 0;
    for (float s : signal) peak = std::max(peak, std::fabs(s));
    if (peak > 1.0f)
        for (float& s : signal) s /= peak;
}

// Schroeder's reverberator: four parallel feedback combs, then two all-pass filters; delays in
// samples at 8 kHz (a room of a few metres, about 0.5 s to die away).
void reverberate(std::vector<float>& signal) {
    const size_t combDelays[] = {239, 281, 331, 373};
    const double combGain = 0.77;
    const size_t allPassDelays[] = {41, 13};
    const double allPassGain = 0.7;
    std::vector<float> wet(signal.size(), 0.0f);
    for (size_t d : combDelays) {
        std::vector<float> line(d, 0.0f);
        size_t at = 0;
        for (size_t i = 0; i < signal.size(); ++i) {
            const float out = line[at];
            line[at] = static_cast<float>(signal[i] + combGain * out);
            at = (at + 1) % d;
            wet[i] += out * 0.25f;
        }
    }
    for (size_t d : allPassDelays) {
        std::vector<float> line(d, 0.0f);
        size_t at = 0;
        for (float& x : wet) {
            const float delayed = line[at];
            const float in = x;
            line[at] = static_cast<float>(in + allPassGain * delayed);
            x = static_cast<float>(delayed - allPassGain * in);
            at = (at + 1) % d;
        }
    }
    // Direct sound and reverberation at equal power.
    const double gain = std::sqrt(power(signal) / std::max(1e-12, power(wet)));
    for (size_t i = 0; i < signal.size(); ++i) signal[i] = static_cast<float>(signal[i] + gain * wet[i]);
}

}  // namespace

double power(const float* begin, const float* end) {
    double p = 0;
    for (const float* s = begin; s < end; ++s) p += static_cast<double>(*s) * *s;
    return p / static_cast<double>(std::max<ptrdiff_t>(1, end - begin));
}

double addNoise(std::vector<float>& signal, double snrDb, bool pink, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> white(0.0, 1.0);
    std::vector<double> noise(signal.size());
    // Paul Kellet's economy pink filter.
    double b0 = 0, b1 = 0, b2 = 0;
    for (double& n : noise) {
        const double w = white(rng);
        if (!pink) {
            n = w;
            continue;
        }
        b0 = 0.99765 * b0 + w * 0.0990460;
        b1 = 0.96300 * b1 + w * 0.2965164;
        b2 = 0.57000 * b2 + w * 1.0526913;
        n = b0 + b1 + b2 + w * 0.1848;
    }
    double ps = 0, pn = 0;
    for (size_t i = 0; i < signal.size(); ++i) {
        ps += static_cast<double>(signal[i]) * signal[i];
        pn += noise[i] * noise[i];
    }
    if (pn <= 0) return 0;
    const double gain = std::sqrt(ps / pn / std::pow(10.0, snrDb / 10.0));
    for (size_t i = 0; i < signal.size(); ++i) signal[i] = static_cast<float>(signal[i] + gain * noise[i]);
    avoidClipping(signal);
    return gain * std::sqrt(pn / static_cast<double>(signal.size()));
}

void mixUnder(std::vector<float>& signal, const std::vector<float>& other, double snrDb) {
    if (other.empty()) return;
    std::vector<float> under(signal.size());
    for (size_t i = 0; i < under.size(); ++i) under[i] = other[i % other.size()];
    const double gain = std::sqrt(power(signal) / std::max(1e-12, power(under)) / std::pow(10.0, snrDb / 10.0));
    for (size_t i = 0; i < signal.size(); ++i) signal[i] = static_cast<float>(signal[i] + gain * under[i]);
    avoidClipping(signal);
}

void room(std::vector<float>& signal, uint32_t seed) {
    bandPass(signal);
    reverberate(signal);
    addNoise(signal, 10.0, true, seed);
}

void loudspeaker(std::vector<float>& signal) {
    Biquad stages[] = {highPass(600, 8000), highPass(600, 8000), highPass(600, 8000)};
    for (float& s : signal)
        for (Biquad& b : stages) s = b.run(s);
    float peak = 0;
    for (float s : signal) peak = std::max(peak, std::fabs(s));
    if (peak <= 0) return;
    // Driven to three times full scale into a tanh curve: loud passages flatten and gain harmonics.
    const float drive = 3.0f / peak;
    for (float& s : signal) s = std::tanh(drive * s) * 0.9f;
}

std::vector<float> speedChanged(const std::vector<float>& source, size_t start, size_t length, double factor) {
    // Read faster-played music as the same samples taken at factor x 8000 Hz, then resampled.
    const size_t span = std::min(source.size() - start, static_cast<size_t>(static_cast<double>(length) * factor) + 64);
    server::PcmAudio audio;
    audio.sampleRate = static_cast<int>(std::lround(8000 * factor));
    audio.channels = 1;
    audio.samples.assign(source.begin() + static_cast<long>(start), source.begin() + static_cast<long>(start + span));
    std::vector<float> out;
    std::string error;
    server::toFingerprintRate(audio, out, error);
    out.resize(length, 0.0f);
    return out;
}

void bandPass(std::vector<float>& signal) {
    Biquad stages[] = {highPass(300, 8000), highPass(300, 8000), lowPass(3400, 8000), lowPass(3400, 8000)};
    for (float& s : signal)
        for (Biquad& b : stages) s = b.run(s);
}

bool gsmRoundTrip(std::vector<float>& signal, const std::string& workDir, std::string& error) {
    const std::string base = workDir + "/gsm-" + std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    writeWav(base + ".wav", signal);
    const std::string cmd = "sox -q '" + base + ".wav' -r 8000 -c 1 '" + base + ".gsm' && sox -q '" + base +
                            ".gsm' -b 16 -e signed-integer '" + base + "-out.wav'";
    const bool converted = std::system(cmd.c_str()) == 0;
    std::ifstream in(base + "-out.wav", std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // The scratch files go once read: every thread of every run would otherwise leave three.
    for (const char* suffix : {".wav", ".gsm", "-out.wav"}) std::remove((base + suffix).c_str());
    if (!converted) {
        error = "sox failed (apt-get install sox libsox-fmt-all)";
        return false;
    }
    const server::WavParse wav = server::parseWavBody(bytes.data(), bytes.size());
    if (wav.status != server::WavStatus::Ok) {
        error = "unreadable sox output: " + wav.message;
        return false;
    }
    const size_t n = signal.size();
    signal = wav.audio.samples;
    signal.resize(n, 0.0f);
    return true;
}

}  // namespace melodex::bench
