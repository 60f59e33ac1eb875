#include "server/fingerprint/spectrogram.h"

#include <cmath>
#include <complex>
#include <memory>
#include <mutex>

#include <fftw3.h>

namespace melodex::server {
namespace {

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

}  // namespace

Spectrogram computeSpectrogram(const float* samples, size_t count, const FingerprintParams& params, int offset) {
    Spectrogram out;
    const int n = params.fftSize;
    out.bins = params.bins();
    if (offset < 0 || count < static_cast<size_t>(offset + n)) return out;
    out.frames = static_cast<int>((count - offset - n) / params.hop + 1);
    out.values.resize(static_cast<size_t>(out.frames) * out.bins);

    std::unique_ptr<float, FftwFree> in(static_cast<float*>(fftwf_malloc(sizeof(float) * n)));
    std::unique_ptr<fftwf_complex, FftwFree> spec(
        static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * (n / 2 + 1))));
    std::unique_ptr<fftwf_plan_s, PlanDestroy> plan;
    {
        std::lock_guard<std::mutex> lock(plannerMutex());
        plan.reset(fftwf_plan_dft_r2c_1d(n, in.get(), spec.get(), FFTW_ESTIMATE));
    }
    std::vector<float> window(n);
    for (int i = 0; i < n; ++i) window[i] = 0.5f - 0.5f * std::cos(2.0f * static_cast<float>(M_PI) * i / n);

    // A floor well below 16-bit quantisation keeps silence finite without favouring it.
    constexpr float kFloor = 1e-9f;
    for (int f = 0; f < out.frames; ++f) {
        const float* frame = samples + offset + static_cast<size_t>(f) * params.hop;
        for (int i = 0; i < n; ++i) in.get()[i] = frame[i] * window[i];
        fftwf_execute(plan.get());
        float* row = &out.values[static_cast<size_t>(f) * out.bins];
        for (int b = 0; b < out.bins; ++b) {
            const fftwf_complex& c = spec.get()[params.minBin + b];
            row[b] = std::log(c[0] * c[0] + c[1] * c[1] + kFloor);
        }
    }
    return out;
}

}  // namespace melodex::server
