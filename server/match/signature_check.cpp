#include "server/match/signature_check.h"

#include <algorithm>
#include <cmath>

namespace melodex::server {
namespace {

// Agreement of the features with the signature words from `first` on: the sum of the features
// signed by the signature's bits, over the root of their summed squares, so that it is a z-score
// when the bits are independent of the recording. Fewer than half the recording's frames
// overlapping the track count as no agreement.
double agreement(const SignatureFeatures& f, const std::vector<uint32_t>& reference, long first) {
    const int from = static_cast<int>(std::max<long>(1, 1 - first));
    const int to = static_cast<int>(std::min<long>(f.frames, static_cast<long>(reference.size()) - first));
    if (2 * (to - from) < f.frames) return 0.0;
    float sum = 0, squares = 0;
    for (int j = from; j < to; ++j) addSignedFeatures(f.row(j), reference[static_cast<size_t>(first + j)], sum, squares);
    return squares > 0 ? sum / std::sqrt(squares) : 0.0;
}

// Mean and spread of the agreement at offsets of the track away from the candidate, the highest
// share left out: a track that repeats itself agrees with the recording at its repeats too.
void chance(const SignatureFeatures& f, const std::vector<uint32_t>& reference, long first,
            const SignatureCheckParams& params, double& mean, double& spread) {
    std::vector<double> values;
    const long last = static_cast<long>(reference.size()) - f.frames / 2;
    const long from = -f.frames / 2;
    const long span = last - from;
    for (int i = 0; i < params.chanceSamples && span > 0; ++i) {
        const long at = from + span * i / params.chanceSamples;
        if (std::abs(at - first) >= params.chanceGap) values.push_back(agreement(f, reference, at));
    }
    std::sort(values.begin(), values.end());
    values.resize(values.size() - static_cast<size_t>(params.chanceTrim * static_cast<double>(values.size())));
    // A track too short to measure its chance level is held to independent bits' spread.
    mean = 0;
    spread = 1.0;
    if (values.size() < 4) return;
    double sum = 0, squares = 0;
    for (double v : values) sum += v;
    mean = sum / static_cast<double>(values.size());
    for (double v : values) squares += (v - mean) * (v - mean);
    spread = std::max(params.minChanceSpread, std::sqrt(squares / static_cast<double>(values.size() - 1)));
}

}  // namespace

SignatureCheck checkSignature(const SignatureFeatures& phase0, const SignatureFeatures& phase1,
                              const std::vector<uint32_t>& reference, int offsetFrames, const SignatureCheckParams& params) {
    // Recording frame p + 2j lies on track frame p + 2j + offset: the phase of the same parity
    // as the offset falls on the track's signature frames.
    const int phase = offsetFrames & 1;
    const SignatureFeatures& f = phase ? phase1 : phase0;
    const long first = (static_cast<long>(offsetFrames) + phase) / kFramesPerSignature;
    SignatureCheck out;
    out.agreement = -1e9;
    for (int d = -params.search; d <= params.search; ++d) {
        const double a = agreement(f, reference, first + d);
        if (a > out.agreement) {
            out.agreement = a;
            out.offsetFrames = static_cast<int>((first + d) * kFramesPerSignature - phase);
        }
    }
    // Agreement this low is no match, however chance is spread: the chance level is only
    // measured for candidates that could pass.
    if (out.agreement < params.worthMeasuring) {
        out.confidence = out.agreement;
        return out;
    }
    double mean = 0, spread = 1;
    chance(f, reference, first, params, mean, spread);
    out.confidence = (out.agreement - mean) / spread;
    return out;
}

}  // namespace melodex::server
