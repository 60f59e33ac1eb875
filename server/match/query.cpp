#include "server/match/query.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "server/fingerprint/fingerprinter.h"

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

// What each bin of the recording adds to each band of the music played `speed` times slower: band
// k spans absolute bins [e_k, e_k+1) of the music, [speed e_k, speed e_k+1) of the recording; bin k
// covers [k, k + 1) and counts by its overlap. The same for every frame, so worked out once.
class BandShares {
public:
    BandShares(const FingerprintParams& params, double speed) {
        const std::vector<int> edges = bandEdges(params);
        for (int band = 0; band < kBands; ++band) {
            first_[band] = shares_.size();
            const double lo = (edges[band] + params.minBin) * speed - params.minBin;
            const double hi = (edges[band + 1] + params.minBin) * speed - params.minBin;
            for (int k = std::max(0, static_cast<int>(lo)); k < params.bins() && k < hi; ++k) {
                const double overlap = std::min(hi, k + 1.0) - std::max(lo, static_cast<double>(k));
                if (overlap > 0) shares_.push_back({static_cast<size_t>(k), static_cast<float>(overlap)});
            }
        }
        first_[kBands] = shares_.size();
    }
    // Band `band`'s power in a row of the recording's bins.
    float sum(int band, const std::vector<float>& row) const {
        float total = 0;
        for (size_t s = first_[band]; s < first_[band + 1]; ++s) total += shares_[s].weight * row[shares_[s].bin];
        return total;
    }

private:
    struct Share {
        size_t bin;
        float weight;
    };
    std::vector<Share> shares_;
    std::array<size_t, kBands + 1> first_{};
};

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

Query::Query(const std::vector<float>& samples, const FingerprintParams& params) : params_(params) {
    thread_local Spectrogram gram;
    landmarks_ = findLandmarks(samples.data(), samples.size(), params_, gram);
    frames_ = gram.frames;
    power_ = gram.power;
    speeds_.push_back(analyse(gram, 1.0));
}

Spectrogram Query::warped(double speed) const {
    const int bins = params_.bins();
    const BandShares shares(params_, speed);
    Spectrogram out;
    out.bins = bins;
    out.frames = frames_ > 1 ? static_cast<int>(std::floor((frames_ - 1) * speed)) + 1 : 0;
    out.bandPower.assign(static_cast<size_t>(out.frames) * kBands, 0.0f);
    std::vector<float> row(static_cast<size_t>(bins));
    for (int u = 0; u < out.frames; ++u) {
        // Linear interpolation between the two recording frames around u / speed.
        const double t = u / speed;
        const int i = std::min(static_cast<int>(t), frames_ - 2);
        const float w = static_cast<float>(t - i);
        const float* a = &power_[static_cast<size_t>(i) * bins];
        const float* b = a + bins;
        for (int k = 0; k < bins; ++k) row[static_cast<size_t>(k)] = (1 - w) * a[k] + w * b[k];
        float* bands = &out.bandPower[static_cast<size_t>(u) * kBands];
        for (int band = 0; band < kBands; ++band) bands[band] = shares.sum(band, row) + 1e-9f;
    }
    return out;
}

void Query::features(double speed, const SignatureFeatures*& phase0, const SignatureFeatures*& phase1) {
    auto it = std::find_if(speeds_.begin(), speeds_.end(), [&](const AtSpeed& a) { return a.speed == speed; });
    if (it == speeds_.end()) {
        speeds_.push_back(analyse(warped(speed), speed));
        it = speeds_.end() - 1;
    }
    phase0 = &it->phases[0];
    phase1 = &it->phases[1];
}

}  // namespace melodex::server
