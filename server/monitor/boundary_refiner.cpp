#include "server/monitor/boundary_refiner.h"

#include <algorithm>
#include <cmath>

#include "server/fingerprint/pcm_audio.h"
#include "server/fingerprint/signature.h"
#include "server/match/query.h"

namespace melodex::server {
namespace {

// Frames averaged (about one second) when judging the agreement typical of the playing track.
constexpr int kLevelFrames = 31;
// The share of those averages at or above which the track is taken to play.
constexpr double kLevelQuantile = 0.8;
// Below this typical agreement a frame's z-score cannot tell the track from chance.
constexpr float kMinLevel = 0.15f;
// Less than this much audio holds too few frames to place a boundary.
constexpr double kMinSeconds = 2.0;

// The agreement of one frame's features with one signature word, as a z-score.
float frameAgreement(const float* x, uint32_t word) {
    float sum = 0, squares = 0;
    for (int k = 0; k < kSignatureBits; ++k) {
        sum += ((word >> k) & 1u) ? x[k] : -x[k];
        squares += x[k] * x[k];
    }
    return squares > 0 ? sum / std::sqrt(squares) : 0.0f;
}

float typicalLevel(const std::vector<float>& z) {
    std::vector<float> averages;
    float sum = 0;
    for (size_t j = 0; j < z.size(); ++j) {
        sum += z[j];
        if (j >= kLevelFrames) sum -= z[j - kLevelFrames];
        if (j + 1 >= kLevelFrames) averages.push_back(sum / kLevelFrames);
    }
    if (averages.empty()) return 0;
    const auto at = averages.begin() + static_cast<long>(kLevelQuantile * static_cast<double>(averages.size() - 1));
    std::nth_element(averages.begin(), at, averages.end());
    return *at;
}

}  // namespace

bool BoundaryRefiner::agreementAlong(const WindowHit& hit, double from, double to, Agreement& out, std::string& error) {
    int64_t first = 0;
    const std::vector<float> samples = history_.slice(static_cast<int64_t>(std::floor(from * kFingerprintRate)),
                                                      static_cast<int64_t>(std::ceil(to * kFingerprintRate)), first);
    if (samples.size() < kMinSeconds * kFingerprintRate) return false;
    if (hit.id.match.track != loaded_) {
        if (!index_.signature(hit.id.match.track, reference_, error)) return false;
        loaded_ = hit.id.match.track;
    }
    const double speed = hit.id.match.speed;
    const double begin = static_cast<double>(first) / kFingerprintRate;
    Query query(samples, params_);
    const SignatureFeatures* phases[2] = {};
    query.features(speed, phases[0], phases[1]);
    // The recording's features, read at the track's speed, start on this track frame; the phase
    // of the same parity falls on the track's signature frames (as in the signature check).
    const long trackFrame = std::lround(hit.trackTimeAt(begin) / params_.frameSeconds());
    const int phase = static_cast<int>(trackFrame & 1);
    const long firstWord = (trackFrame + phase) / kFramesPerSignature;
    const SignatureFeatures& f = *phases[phase];
    out = Agreement{};
    for (int j = 1; j < f.frames; ++j) {
        const long word = firstWord + j;
        const bool onTrack = word >= 0 && word < static_cast<long>(reference_.size());
        out.z.push_back(onTrack ? frameAgreement(f.row(j), reference_[static_cast<size_t>(word)]) : 0.0f);
        out.times.push_back(begin + (phase + kFramesPerSignature * j) * params_.frameSeconds() / speed);
    }
    out.level = typicalLevel(out.z);
    return out.level >= kMinLevel;
}

// A play's start is where the agreement that follows stands highest above a quarter of its
// typical level; its end where the agreement before it does. (Half the level would cut off quiet
// passages, whose agreement noise lowers the most; chance agreement is centred on zero.)
bool BoundaryRefiner::start(const WindowHit& hit, double from, double to, double& at, std::string& error) {
    Agreement a;
    if (!agreementAlong(hit, from, to, a, error)) return false;
    at = a.times[stepAt(a, true)];
    return true;
}

bool BoundaryRefiner::end(const WindowHit& hit, double from, double to, double& at, std::string& error) {
    Agreement a;
    if (!agreementAlong(hit, from, to, a, error)) return false;
    at = a.times[stepAt(a, false)];
    return true;
}

size_t BoundaryRefiner::stepAt(const Agreement& a, bool playsAfter) {
    const float threshold = a.level / 4;
    const size_t n = a.z.size();
    double best = 0, sum = 0;
    size_t at = playsAfter ? n - 1 : 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t j = playsAfter ? n - 1 - i : i;
        sum += a.z[j] - threshold;
        if (sum > best) {
            best = sum;
            at = playsAfter ? j : std::min(j + 1, n - 1);
        }
    }
    return at;
}

}  // namespace melodex::server
