#include "server/monitor/boundary_refiner.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

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
// Chance agreement over one second spreads about 0.3 either side of zero.
constexpr float kMaxThreshold = 0.5f;
// Spectrogram frames (16 ms) either side of the predicted alignment tried when following a play.
constexpr long kFollowReach = 16;
// The same where a boundary is placed: the matches' speed is a little off (a tenth of a percent
// moves the alignment a frame in 16 s), and the best frame over the whole excerpt may lie two
// from the prediction.
constexpr long kBoundaryReach = 2;
// The agreement over a window that follows a play: a z-score against independent bits, far
// above what the best of the alignments tried reaches by chance.
constexpr double kFollowAgreement = 8.0;
// Less than this much audio holds too few frames to place a boundary.
constexpr double kMinSeconds = 2.0;
// Unrelated music agrees on about half of the signature's bits (0.49-0.54 over a window of the
// evaluation's music); a repeat of one passage (a loop, a chorus played again) on far more, though
// not all where its notes or what plays around them differ (0.63-0.78 on a game's loop).
constexpr double kRepeatShare = 0.6;
// The lengths a fade is tried at (a mix's crossfades last a few seconds), and how finely its
// middle is placed.
constexpr double kFadeSeconds[] = {2, 3, 4, 5, 6, 7, 8};
constexpr double kFadeStep = 0.1;
// A play's edge is looked for in a fade this far either side of where its agreement steps.
constexpr double kFadeReach = 4.0;
// Under this typical agreement (chance's own spread for one frame) the frames through a fade are
// too noisy to fit its shape, and a play's edge stays where its agreement steps.
constexpr float kMinFadeLevel = 1.0f;
// A frame's agreement as a share of the level is held within these bounds, and counts
// linearly beyond kRobustShare from the fade's prediction, so that a loud passage or talk over
// the music weighs little against the fade.
constexpr float kMinShare = -1.0f, kMaxShare = 2.0f;
constexpr double kRobustShare = 1.0;
// A crossfade's loudness ratio is measured on at least this much input on either side of it,
// and held within these bounds (in amplitude).
constexpr double kMinPowerSeconds = 0.5;
constexpr double kMinLouder = 0.1;

// The agreement of one frame's features with one signature word, as a z-score.
float frameAgreement(const float* x, uint32_t word) {
    float sum = 0, squares = 0;
    addSignedFeatures(x, word, sum, squares);
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

// A squared error that grows only linearly beyond kRobustShare.
double robustError(double e) {
    e = std::abs(e);
    return e < kRobustShare ? e * e : kRobustShare * (2 * e - kRobustShare);
}

// One track's frames set against fades: outside a fade its gain is 0 or 1, and the errors
// there are running sums, so that a fade costs only the frames within it.
class FadeFrames {
public:
    FadeFrames(const std::vector<double>& times, const std::vector<float>& z, float level, bool fadesIn)
        : times_(times), fadesIn_(fadesIn), share_(z.size()), silent_(z.size() + 1, 0.0), full_(z.size() + 1, 0.0) {
        for (size_t j = 0; j < z.size(); ++j) {
            share_[j] = std::clamp(z[j] / level, kMinShare, kMaxShare);
            silent_[j + 1] = silent_[j] + robustError(share_[j]);
            full_[j + 1] = full_[j] + robustError(share_[j] - 1);
        }
    }

    // The errors against a fade from `middle - seconds / 2` to `middle + seconds / 2`. Alone (a
    // `louderAfter` of 0), the track's share of its level follows its gain. In a crossfade whose
    // music after it plays `louderAfter` times as loud as before it (in amplitude), the share is
    // the track's part of what both tracks play at each moment: a quiet track gives way early, a
    // loud one late.
    double error(double middle, double seconds, double louderAfter = 0) const {
        const size_t first = frameAt(middle - seconds / 2), last = frameAt(middle + seconds / 2);
        const std::vector<double>& before = fadesIn_ ? silent_ : full_;
        const std::vector<double>& after = fadesIn_ ? full_ : silent_;
        // The other track's loudness against this one's.
        const double other = louderAfter > 0 && fadesIn_ ? 1 / louderAfter : louderAfter;
        double sum = before[first] + after.back() - after[last];
        for (size_t j = first; j < last; ++j) {
            const double in = (times_[j] - middle) / seconds + 0.5;
            const double gain = fadesIn_ ? in : 1 - in;
            const double rest = other * (1 - gain);
            sum += robustError(share_[j] - (other > 0 ? gain / std::sqrt(gain * gain + rest * rest) : gain));
        }
        return sum;
    }

private:
    size_t frameAt(double t) const {
        return static_cast<size_t>(std::lower_bound(times_.begin(), times_.end(), t) - times_.begin());
    }

    const std::vector<double>& times_;
    const bool fadesIn_;
    std::vector<double> share_, silent_, full_;  // silent_[j]: the errors of frames before j against 0
};

// The input's mean power between any two of its times, from running sums of its squares.
class InputPower {
public:
    explicit InputPower(const BoundaryRefiner::Excerpt& excerpt) : begin_(excerpt.begin), sums_(1, 0.0) {
        for (const float x : excerpt.samples) sums_.push_back(sums_.back() + static_cast<double>(x) * x);
    }
    // Of the samples from `from` to `to` (input seconds); 0 for less than kMinPowerSeconds.
    double mean(double from, double to) const {
        const size_t i = sampleAt(from), j = sampleAt(to);
        return j >= i + static_cast<size_t>(kMinPowerSeconds * kFingerprintRate) ? (sums_[j] - sums_[i]) / static_cast<double>(j - i) : 0;
    }
    double begin() const { return begin_; }
    double end() const { return begin_ + static_cast<double>(sums_.size() - 1) / kFingerprintRate; }

private:
    size_t sampleAt(double t) const {
        return static_cast<size_t>(std::clamp((t - begin_) * kFingerprintRate, 0.0, static_cast<double>(sums_.size() - 1)));
    }
    double begin_;
    std::vector<double> sums_;
};

// How much louder (in amplitude) the music after a fade plays than the music before it, as the
// input's power on either side tells; 1 when a side is too short to tell. The power measured
// holds the noise and any talk too, and a frame's agreement saturates as its track dominates:
// the square root of the amplitude ratio (half its decibels) placed cuts best.
double louderAfter(const InputPower& power, double middle, double seconds) {
    const double before = power.mean(power.begin(), middle - seconds / 2);
    const double after = power.mean(middle + seconds / 2, power.end());
    return before > 0 && after > 0 ? std::clamp(std::pow(after / before, 0.25), kMinLouder, 1 / kMinLouder) : 1.0;
}

}  // namespace

BoundaryRefiner::Excerpt BoundaryRefiner::excerpt(double from, double to) const {
    Excerpt out;
    int64_t first = 0;
    out.samples = history_.slice(static_cast<int64_t>(std::floor(from * kFingerprintRate)),
                                 static_cast<int64_t>(std::ceil(to * kFingerprintRate)), first);
    out.begin = static_cast<double>(first) / kFingerprintRate;
    return out;
}

bool BoundaryRefiner::align(const std::vector<WindowHit>& hits, const Excerpt& excerpt, long reach, Aligned& out,
                            std::string& error) {
    if (hits.empty() || excerpt.samples.size() < kMinSeconds * kFingerprintRate) return false;
    if (!load(hits.front().id.match.track, error)) return false;
    out.begin = excerpt.begin;
    out.query = std::make_unique<Query>(excerpt.samples, params_);
    // Of the alignments given, the one whose features agree best along the excerpt is taken, on
    // its best frame.
    double best = -std::numeric_limits<double>::infinity();
    const WindowHit* chosen = &hits.front();
    long chosenFrame = 0;
    for (const WindowHit& hit : hits) {
        predict(hit, out);
        const double agreement = alignBest(out, reach);
        if (agreement > best) {
            best = agreement;
            chosen = &hit;
            chosenFrame = out.trackFrame;
        }
    }
    predict(*chosen, out);
    onFrame(chosenFrame, out);
    out.hit = static_cast<size_t>(chosen - hits.data());
    out.agreement = best;
    return true;
}

// The recording's features, read at the hit's speed, start on a track frame near the hit's
// prediction; the phase of the same parity falls on the track's signature frames (as in the
// signature check).
void BoundaryRefiner::predict(const WindowHit& hit, Aligned& a) const {
    a.speed = hit.id.match.speed;
    a.query->features(a.speed, a.phases[0], a.phases[1]);
    a.predicted = std::lround(hit.trackTimeAt(a.begin) / params_.frameSeconds());
}

void BoundaryRefiner::onFrame(long trackFrame, Aligned& a) {
    const WordAlignment w = wordAlignment(trackFrame);
    a.trackFrame = trackFrame;
    a.phase = w.phase;
    a.firstWord = w.firstWord;
    a.features = a.phases[a.phase];
}

double BoundaryRefiner::alignBest(Aligned& a, long reach) const {
    double best = -std::numeric_limits<double>::infinity();
    long bestFrame = a.predicted;
    for (long trackFrame = a.predicted - reach; trackFrame <= a.predicted + reach; ++trackFrame) {
        onFrame(trackFrame, a);
        const int frames = a.features->frames;
        double sum = 0;
        for (int j = 1; j < frames; ++j) sum += agreementAt(a, j);
        const double z = sum / std::sqrt(std::max(1, frames - 1));
        if (z > best) {
            best = z;
            bestFrame = trackFrame;
        }
    }
    onFrame(bestFrame, a);
    return best;
}

float BoundaryRefiner::agreementAt(const Aligned& a, int frame) const {
    const long word = a.firstWord + frame;
    if (word < 0 || word >= static_cast<long>(reference_.size())) return 0.0f;
    return frameAgreement(a.features->row(frame), reference_[static_cast<size_t>(word)]);
}

double BoundaryRefiner::frameTime(const Aligned& a, int frame) const {
    return a.begin + (a.phase + kFramesPerSignature * frame) * params_.frameSeconds() / a.speed;
}

bool BoundaryRefiner::agreementAlong(const std::vector<WindowHit>& hits, const Excerpt& excerpt, Agreement& out,
                                     std::string& error) {
    Aligned a;
    if (!align(hits, excerpt, kBoundaryReach, a, error)) return false;
    out = Agreement{};
    std::vector<float> within;  // the frames the track's recording reaches
    const long words = static_cast<long>(reference_.size());
    for (int j = 1; j < a.features->frames; ++j) {
        out.z.push_back(agreementAt(a, j));
        out.times.push_back(frameTime(a, j));
        if (a.firstWord + j >= 0 && a.firstWord + j < words) within.push_back(out.z.back());
    }
    out.level = typicalLevel(out.z);
    // A short stretch of the track next to its recording's end (or start) can be too little of
    // the samples for their level: beyond that end nothing of the track plays, so the level is
    // judged again on the frames the recording reaches.
    if (out.level < kMinLevel) out.level = typicalLevel(within);
    return out.level >= kMinLevel;
}

bool BoundaryRefiner::follow(const WindowHit& last, double from, double to, WindowHit& hit, std::string& error) {
    Aligned a;
    // The alignment drifts by the speed estimate's error over the time since the last match:
    // the frames within a few words of the prediction are tried, of either parity.
    if (!align({last}, excerpt(from, to), kFollowReach, a, error)) return false;
    if (a.agreement < kFollowAgreement) return false;
    hit = last;
    hit.seconds = from;
    hit.id.offsetSeconds = last.trackTimeAt(from) + static_cast<double>(a.trackFrame - a.predicted) * params_.frameSeconds();
    hit.id.match.confidence = a.agreement;
    return true;
}

bool BoundaryRefiner::likeliest(const std::vector<WindowHit>& hits, double from, double to, size_t& which,
                                std::string& error) {
    Aligned a;
    // Over one window the prediction may be a frame off.
    if (!align(hits, excerpt(from, to), 1, a, error)) return false;
    which = a.hit;
    return true;
}

bool BoundaryRefiner::repeats(uint32_t track, double from, double lag, double seconds, std::string& error) {
    if (!load(track, error)) return false;
    const double wordSeconds = kFramesPerSignature * params_.frameSeconds();
    const long words = static_cast<long>(reference_.size());
    const long shift = std::lround(lag / wordSeconds);
    // The words that lie in the track both where they are and a shift either side of the lag on.
    const long first = std::max({0L, std::lround(from / wordSeconds), 1 - shift});
    const long last = std::min({words, std::lround((from + seconds) / wordSeconds), words - 1 - shift});
    if (static_cast<double>(last - first) * wordSeconds < kMinSeconds) return false;
    // The lag falls between two words: the shifts either side of it are tried too.
    for (long s = shift - 1; s <= shift + 1; ++s) {
        long agree = 0;
        for (long w = first; w < last; ++w)
            agree += kSignatureBits - __builtin_popcount(reference_[static_cast<size_t>(w)] ^
                                                         reference_[static_cast<size_t>(w + s)]);
        if (static_cast<double>(agree) >= kRepeatShare * kSignatureBits * static_cast<double>(last - first)) return true;
    }
    return false;
}

bool BoundaryRefiner::load(uint32_t track, std::string& error) {
    if (track == loaded_) return true;
    if (!index_.signature(track, reference_, error)) return false;
    loaded_ = track;
    return true;
}

// A play's start is first placed where the agreement that follows stands highest above a
// threshold; its end where the agreement before it does. Chance agreement is centred on zero;
// the threshold is a quarter of the play's typical level, and no more than kMaxThreshold, so that
// quiet passages and talk over the music, whose agreement noise lowers the most, are not cut off.
// In a fade the agreement climbs over seconds and the threshold is crossed early or late, as
// the track is loud or quiet: the boundary then goes to the middle of the fade that fits best
// near there.
bool BoundaryRefiner::start(const std::vector<WindowHit>& hits, const Excerpt& excerpt, double& at, std::string& error) {
    Agreement a;
    if (!agreementAlong(hits, excerpt, a, error)) return false;
    at = edgeIn(a, true);
    return true;
}

bool BoundaryRefiner::end(const std::vector<WindowHit>& hits, const Excerpt& excerpt, double& at, std::string& error) {
    Agreement a;
    if (!agreementAlong(hits, excerpt, a, error)) return false;
    at = edgeIn(a, false);
    return true;
}

// A track that plays from the excerpt's first frame (or to its last) shows no fade to fit: the
// input began (or ended) while it played. So does one whose step lies nearer that edge than a
// fade reaches: the input ended a few frames after it, whose chance dips placed the step, and a
// fade fitted there has no far side and lands seconds early in the noise.
double BoundaryRefiner::edgeIn(const Agreement& a, bool playsAfter) {
    const size_t step = stepAt(a, playsAfter);
    const double room = playsAfter ? a.times[step] - a.times.front() : a.times.back() - a.times[step];
    if (a.level < kMinFadeLevel || step == 0 || step + 1 == a.times.size() || room < kFadeReach) return a.times[step];
    const double from = std::max(a.times[step] - kFadeReach, a.times.front());
    const double to = std::min(a.times[step] + kFadeReach, a.times.back());
    const double middle = fadeMiddle({{&a, playsAfter}}, from, to);
    // The best fit at an end of the span lies beyond it: no fade was found near the step.
    return middle < from + kFadeStep / 2 || middle > to - kFadeStep ? a.times[step] : middle;
}

// In a crossfade one track's gain falls as the other's rises, over the same seconds: the cut is
// the middle of the fade that fits both agreements best. Fitting both at once keeps a track that
// is quiet at first or fades out early from pulling the cut to its side.
bool BoundaryRefiner::crossover(const std::vector<WindowHit>& before, const std::vector<WindowHit>& after,
                                const Excerpt& excerpt, double& at, std::string& error) {
    Agreement a, b;
    if (!agreementAlong(before, excerpt, a, error) || !agreementAlong(after, excerpt, b, error)) return false;
    at = fadeMiddle({{&a, false}, {&b, true}}, a.times.front(), a.times.back(), &excerpt);
    return true;
}

// Each frame's agreement, as a share of the track's level, is set against the share a linear
// fade's gain (0 before it and 1 after for a track fading in) gives it: the middle between `from`
// and `to`, and the length, that leave the least error.
double BoundaryRefiner::fadeMiddle(std::initializer_list<Fade> fades, double from, double to, const Excerpt* input) {
    std::vector<FadeFrames> frames;
    for (const Fade& f : fades) frames.emplace_back(f.agreement->times, f.agreement->z, f.agreement->level, f.fadesIn);
    const std::vector<double>& times = fades.begin()->agreement->times;
    from = std::max(from, times.front());
    to = std::min(to, times.back());
    std::optional<InputPower> power;
    if (input != nullptr) power.emplace(*input);
    double best = std::numeric_limits<double>::infinity(), at = from;
    for (double middle = from; middle <= to; middle += kFadeStep)
        for (const double seconds : kFadeSeconds) {
            const double louder = power ? louderAfter(*power, middle, seconds) : 0;
            double error = 0;
            for (const FadeFrames& f : frames) error += f.error(middle, seconds, louder);
            if (error < best) {
                best = error;
                at = middle;
            }
        }
    return at;
}

size_t BoundaryRefiner::stepAt(const Agreement& a, bool playsAfter) {
    const float threshold = std::min(a.level / 4, kMaxThreshold);
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
