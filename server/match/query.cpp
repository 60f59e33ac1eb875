#include "server/match/query.h"

#include <algorithm>
#include <cmath>

#include "server/fingerprint/fingerprinter.h"
#include "server/fingerprint/resampler.h"

namespace melodex::server {
namespace {

// Feature values beyond this many spreads are clipped: one loud onset must not decide a match.
constexpr float kClip = 2.5f;

// Scales each bit's feature to unit root-mean-square over the recording, then clips it.
void normalise(SignatureFeatures& f) {
    for (int k = 0; k < kSignatureBits; ++k) {
        double sum = 0;
        for (int j = 0; j < f.frames; ++j) sum += static_cast<double>(f.row(j)[k]) * f.row(j)[k];
        const float scale = sum > 0 ? static_cast<float>(1.0 / std::sqrt(sum / std::max(1, f.frames))) : 0.0f;
        for (int j = 0; j < f.frames; ++j) {
            float& x = f.values[static_cast<size_t>(j) * kSignatureBits + k];
            x = std::clamp(x * scale, -kClip, kClip);
        }
    }
}

}  // namespace

Query::AtSpeed Query::analyse(const Spectrogram& gram, double speed) {
    AtSpeed at;
    at.speed = speed;
    for (int p = 0; p < 2; ++p) {
        at.phases[p] = signatureFeatures(gram, p);
        normalise(at.phases[p]);
    }
    return at;
}

Query::Query(std::vector<float> samples, const FingerprintParams& params) : samples_(std::move(samples)), params_(params) {
    thread_local Spectrogram gram;
    landmarks_ = findLandmarks(samples_.data(), samples_.size(), params_, gram);
    speeds_.push_back(analyse(gram, 1.0));
}

bool Query::features(double speed, const SignatureFeatures*& phase0, const SignatureFeatures*& phase1, std::string& error) {
    auto it = std::find_if(speeds_.begin(), speeds_.end(), [&](const AtSpeed& a) { return a.speed == speed; });
    if (it == speeds_.end()) {
        // Samples of music played `speed` times fast, read at 8000 / speed Hz, are the music at
        // its own speed.
        PcmAudio audio;
        audio.sampleRate = static_cast<int>(std::lround(kFingerprintRate / speed));
        audio.channels = 1;
        audio.samples = samples_;
        std::vector<float> restored;
        if (!toFingerprintRate(audio, restored, error)) return false;
        Spectrogram gram;
        computeSpectrogram(restored.data(), restored.size(), params_, 0, gram);
        speeds_.push_back(analyse(gram, speed));
        it = speeds_.end() - 1;
    }
    phase0 = &it->phases[0];
    phase1 = &it->phases[1];
    return true;
}

}  // namespace melodex::server
