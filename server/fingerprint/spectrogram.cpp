#include "server/fingerprint/spectrogram.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include <fftw3.h>

namespace melodex::server {
namespace {

// Natural logarithm to about 1e-3, from the float's exponent and a quadratic on its mantissa:
// plenty for comparing spectral levels, and several times faster than std::log.
inline float fastLog(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const float exponent = static_cast<float>(static_cast<int>((bits >> 23) & 0xFF) - 127);
    bits = (bits & 0x007FFFFFu) | 0x3F800000u;
    float m;
    std::memcpy(&m, &bits, sizeof m);
    const float log2m = (-0.34484843f * m + 2.02466578f) * m - 1.67487759f;
    return (exponent + log2m) * 0.69314718f;
}

// FFTW's planner is not thread-safe; executing a plan on new arrays is.
std::mutex& plannerMutex() {
    static std::mutex m;
    return m;
}

struct PlanDestroy {
    void operator()(fftwf_plan_s* p) const {
        std::lock_guard<std::mutex> lock(plannerMutex());
        fftwf_destroy_plan(p);
    }
};
struct FftwFree {
    void operator()(void* p) const { fftwf_free(p); }
};

// A transform of one size with its buffers and its Hann window, kept per thread: planning costs
// as much as a few dozen transforms, and a query is a few hundred.
class Transform {
public:
    explicit Transform(int n)
        : n_(n),
          in_(static_cast<float*>(fftwf_malloc(sizeof(float) * n))),
          out_(static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * (n / 2 + 1)))) {
        for (int i = 0; i < n; ++i) window_.push_back(0.5f - 0.5f * std::cos(2.0f * static_cast<float>(M_PI) * i / n));
        std::lock_guard<std::mutex> lock(plannerMutex());
        plan_.reset(fftwf_plan_dft_r2c_1d(n, in_.get(), out_.get(), FFTW_ESTIMATE));
    }
    int size() const { return n_; }
    float* in() { return in_.get(); }
    const fftwf_complex* out() const { return out_.get(); }
    const std::vector<float>& window() const { return window_; }
    void run() { fftwf_execute(plan_.get()); }

private:
    int n_;
    std::unique_ptr<float, FftwFree> in_;
    std::unique_ptr<fftwf_complex, FftwFree> out_;
    std::unique_ptr<fftwf_plan_s, PlanDestroy> plan_;
    std::vector<float> window_;
};

Transform& transformOf(int n) {
    thread_local std::unique_ptr<Transform> kept;
    if (!kept || kept->size() != n) kept = std::make_unique<Transform>(n);
    return *kept;
}

}  // namespace

std::vector<int> bandEdges(const FingerprintParams& params) {
    std::vector<int> edges(kBands + 1);
    const double ratio = static_cast<double>(params.maxBin) / params.minBin;
    for (int k = 0; k <= kBands; ++k)
        edges[k] = static_cast<int>(std::lround(params.minBin * std::pow(ratio, static_cast<double>(k) / kBands))) - params.minBin;
    return edges;
}

Spectrogram computeSpectrogram(const float* samples, size_t count, const FingerprintParams& params, int offset) {
    Spectrogram out;
    computeSpectrogram(samples, count, params, offset, out);
    return out;
}

void computeSpectrogram(const float* samples, size_t count, const FingerprintParams& params, int offset, Spectrogram& out) {
    const int n = params.fftSize;
    out.bins = params.bins();
    const bool anyFrame = offset >= 0 && count >= static_cast<size_t>(offset + n);
    out.frames = anyFrame ? static_cast<int>((count - offset - n) / params.hop + 1) : 0;
    // Resized without clearing first: every value is written below, and a reused spectrogram
    // keeps its memory without being zeroed again.
    out.values.resize(static_cast<size_t>(out.frames) * out.bins);
    out.power.resize(out.values.size());
    out.bandPower.resize(static_cast<size_t>(out.frames) * kBands);
    if (out.frames == 0) return;
    const std::vector<int> edges = bandEdges(params);

    Transform& transform = transformOf(n);
    float* const in = transform.in();
    const fftwf_complex* const gram = transform.out();
    const std::vector<float>& window = transform.window();

    // A floor well below 16-bit quantisation keeps silence finite without favouring it.
    constexpr float kFloor = 1e-9f;
    for (int f = 0; f < out.frames; ++f) {
        const float* frame = samples + offset + static_cast<size_t>(f) * params.hop;
        for (int i = 0; i < n; ++i) in[i] = frame[i] * window[i];
        transform.run();
        float* row = &out.values[static_cast<size_t>(f) * out.bins];
        float* power = &out.power[static_cast<size_t>(f) * out.bins];
        for (int b = 0; b < out.bins; ++b) {
            const fftwf_complex& c = gram[params.minBin + b];
            power[b] = c[0] * c[0] + c[1] * c[1] + kFloor;
            row[b] = fastLog(power[b]);
        }
        float* bands = &out.bandPower[static_cast<size_t>(f) * kBands];
        for (int k = 0; k < kBands; ++k) {
            float sum = 0;
            for (int b = edges[k]; b < edges[k + 1]; ++b) sum += power[b];
            bands[k] = sum;
        }
    }
}

}  // namespace melodex::server
