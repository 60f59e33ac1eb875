#include "server/match/signature_check.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace melodex::server {
namespace {

// Spread of the root of a sum of n squared positive halves of unit normals, sqrt(5/8) whatever n
// is: the agreement's spread over independent bits.
const double kIndependentSpread = std::sqrt(5.0 / 8.0);

// A feature's z-score counts up to this: no one feature decides a match. Music on the same beat
// agrees on a band's onsets over a whole recording, whatever else it plays.
constexpr double kMaxFeatureZ = 5.0;

// The agreement of a recording's features with a track's signature at any offset. Each feature's
// own agreement is a z-score: its values signed by its bits, over the root of their summed
// squares. Noise drowns some bands and spares others (white noise the upper ones, a voice its
// own), and a sum over all features would dilute the few that agree with the many that do not:
// the features that agree count by the root of the sum of their squared z-scores, standardised by
// what independent bits give (mean sqrt(n / 2) for n features, kIndependentSpread) so that it is
// near a z-score again.
class Agreement {
public:
    Agreement(const SignatureFeatures& f, const std::vector<uint32_t>& reference)
        : f_(f), reference_(reference), squares_(f.squareSums()) {}

    // With the signature words from `first` on. Fewer than half the recording's frames
    // overlapping the track count as chance.
    double at(long first) const {
        const int from = static_cast<int>(std::max<long>(1, 1 - first));
        const int to = static_cast<int>(std::min<long>(f_.frames, static_cast<long>(reference_.size()) - first));
        if (2 * (to - from) < f_.frames) return 0.0;
        std::array<float, kSignatureBits> sums{};
        for (int j = from; j < to; ++j) addSignedFeatures(f_.row(j), reference_[static_cast<size_t>(first + j)], sums);
        double agreeing = 0;
        int features = 0;
        for (int k = 0; k < kSignatureBits; ++k) {
            const float squares = squares_[static_cast<size_t>(to) * kSignatureBits + k] -
                                  squares_[static_cast<size_t>(from) * kSignatureBits + k];
            if (squares <= 0) continue;
            ++features;
            const double z = std::min(kMaxFeatureZ, static_cast<double>(sums[static_cast<size_t>(k)] / std::sqrt(squares)));
            if (z > 0) agreeing += z * z;
        }
        return features > 0 ? (std::sqrt(agreeing) - std::sqrt(features / 2.0)) / kIndependentSpread : 0.0;
    }

    int frames() const { return f_.frames; }
    long words() const { return static_cast<long>(reference_.size()); }

private:
    const SignatureFeatures& f_;
    const std::vector<uint32_t>& reference_;
    const std::vector<float>& squares_;  // running sums of each feature's squares, (frames + 1) x bits
};

// The values with the highest share left out: a track that repeats itself agrees with the
// recording at its repeats too.
void trimHighest(std::vector<double>& values, double share) {
    std::sort(values.begin(), values.end());
    values.resize(values.size() - static_cast<size_t>(share * static_cast<double>(values.size())));
}

double meanOf(const std::vector<double>& values) {
    double sum = 0;
    for (double v : values) sum += v;
    return sum / static_cast<double>(values.size());
}

// Mean and spread of the agreement at offsets of the track away from the candidate. Music on the
// same beat as the track agrees with it at every offset that keeps the beats in step, near the
// candidate's as well as at it, where a true match agrees at its own offset only: so the mean is
// also taken over the offsets within a few seconds either side, and the higher of the two counts.
void chance(const Agreement& agreement, long first, const SignatureCheckParams& params, double& mean,
            double& spread) {
    std::vector<double> values, near;
    const long last = agreement.words() - agreement.frames() / 2;
    const long from = -agreement.frames() / 2;
    const long span = last - from;
    for (int i = 0; i < params.chanceSamples && span > 0; ++i) {
        const long at = from + span * i / params.chanceSamples;
        if (std::abs(at - first) >= params.chanceGap) values.push_back(agreement.at(at));
    }
    for (long d = params.chanceGap; d <= params.nearReach; d += params.nearStep) {
        near.push_back(agreement.at(first - d));
        near.push_back(agreement.at(first + d));
    }
    trimHighest(values, params.chanceTrim);
    trimHighest(near, params.chanceTrim);
    // A track too short to measure its chance level is held to independent bits' spread.
    mean = 0;
    spread = 1.0;
    if (values.size() < 4) return;
    const double farMean = meanOf(values);
    mean = near.empty() ? farMean : std::max(farMean, meanOf(near));
    double squares = 0;
    for (double v : values) squares += (v - farMean) * (v - farMean);
    spread = std::max(params.minChanceSpread, std::sqrt(squares / static_cast<double>(values.size() - 1)));
}

}  // namespace

SignatureCheck checkSignature(const SignatureFeatures& phase0, const SignatureFeatures& phase1,
                              const std::vector<uint32_t>& reference, int offsetFrames, const SignatureCheckParams& params) {
    // Every offset within the search is tried, of either parity (wordAlignment): a vote's offset
    // may be a frame off.
    const Agreement agreements[2] = {Agreement(phase0, reference), Agreement(phase1, reference)};
    SignatureCheck out;
    out.agreement = -1e9;
    WordAlignment best;
    for (int d = -params.search; d <= params.search; ++d) {
        const int offset = offsetFrames + d;
        const WordAlignment w = wordAlignment(offset);
        const double a = agreements[w.phase].at(w.firstWord);
        if (a > out.agreement) {
            out.agreement = a;
            out.offsetFrames = offset;
            best = w;
        }
    }
    const Agreement& agreement = agreements[best.phase];
    // Agreement this low is no match, however chance is spread: the chance level is only
    // measured for candidates that could pass.
    if (out.agreement < params.worthMeasuring) {
        out.confidence = out.agreement;
        return out;
    }
    double mean = 0, spread = 1;
    chance(agreement, best.firstWord, params, mean, spread);
    out.confidence = (out.agreement - mean) / spread;
    return out;
}

}  // namespace melodex::server
