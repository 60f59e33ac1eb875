#include "server/monitor/segmenter.h"

#include <algorithm>
#include <cmath>

namespace melodex::server {

bool Segmenter::add(const WindowHit& hit, std::string& error) {
    // A play's start is refined once the samples two windows past its first match have come.
    if (!refineStarts(hit.seconds - options_.windowSeconds, error) ||
        !closeBefore(hit.seconds - options_.bridgeSeconds, error))
        return false;
    const MatchResult& m = hit.id.match;
    if (!m.found) return true;
    for (Play& p : open_) {
        if (p.last.id.match.recording != m.recording || std::abs(p.last.anchor() - hit.anchor()) > options_.anchorTolerance)
            continue;
        p.last = hit;
        p.segment.end = hit.seconds + options_.windowSeconds;
        ++p.segment.windows;
        if (m.confidence > p.segment.confidence) {
            p.segment.track = m.track;
            p.segment.score = m.score;
            p.segment.confidence = m.confidence;
            p.segment.speed = m.speed;
        }
        return true;
    }
    Play p;
    p.first = p.last = hit;
    p.segment = {hit.seconds, hit.seconds + options_.windowSeconds, true, m.track, m.score, m.confidence, m.speed, 1};
    open_.push_back(p);
    return true;
}

bool Segmenter::beforeGap(std::string& error) {
    if (!refineStarts(1e300, error)) return false;
    for (Play& p : open_) {
        if (!refine(p, false, error)) return false;
        p.endRefinedAt = p.last.seconds;
    }
    return true;
}

bool Segmenter::refineStarts(double firstBefore, std::string& error) {
    for (Play& p : open_) {
        if (p.startRefined || p.first.seconds > firstBefore) continue;
        p.startRefined = true;
        if (!refine(p, true, error)) return false;
    }
    return true;
}

// The samples around a play's first or last window, from a window's length before it to two
// after it: the matching windows next to it make sure the track plays in a good part of them.
bool Segmenter::refine(Play& play, bool start, std::string& error) {
    if (refiner_ == nullptr) return true;
    const double length = options_.windowSeconds;
    const WindowHit& hit = start ? play.first : play.last;
    double at = 0;
    const bool found = start ? refiner_->start(hit, hit.seconds - length, hit.seconds + 2 * length, at, error)
                             : refiner_->end(hit, hit.seconds - length, hit.seconds + 2 * length, at, error);
    if (found) (start ? play.segment.start : play.segment.end) = at;
    return found || error.empty();
}

bool Segmenter::finish(double endSeconds, std::string& error) {
    if (!closeBefore(endSeconds + options_.windowSeconds, error)) return false;
    if (options_.reportUnknown && endSeconds - covered_ >= options_.stepSeconds) emit({covered_, endSeconds});
    return true;
}

// Plays whose last match is older than `seconds`, the oldest first.
bool Segmenter::closeBefore(double seconds, std::string& error) {
    while (true) {
        size_t oldest = open_.size();
        for (size_t i = 0; i < open_.size(); ++i)
            if (open_[i].last.seconds < seconds && (oldest == open_.size() || open_[i].last.seconds < open_[oldest].last.seconds))
                oldest = i;
        if (oldest == open_.size()) return true;
        if (!close(oldest, error)) return false;
    }
}

bool Segmenter::close(size_t i, std::string& error) {
    Play play = open_[i];
    open_.erase(open_.begin() + static_cast<long>(i));
    if (play.segment.windows < options_.minWindows) return true;
    Segment& s = play.segment;
    const bool endKnown = play.endRefinedAt == play.last.seconds;
    if ((!play.startRefined && !refine(play, true, error)) || (!endKnown && !refine(play, false, error)) ||
        !refineStarts(s.end, error))
        return false;
    // A crossfade: both plays found in the overlap. They meet halfway through it.
    for (Play& next : open_) {
        Segment& n = next.segment;
        if (n.start < s.end && n.start > s.start) s.end = n.start = (n.start + s.end) / 2;
    }
    s.end = std::max(s.end, s.start);
    emit(s);
    return true;
}

void Segmenter::emit(Segment segment) {
    // A play found after the one before it was reported starts where that one ended.
    if (segment.start < covered_ && segment.end > covered_) segment.start = covered_;
    if (segment.known && options_.reportUnknown && segment.start - covered_ >= options_.stepSeconds)
        sink_({covered_, segment.start});
    sink_(segment);
    covered_ = std::max(covered_, segment.end);
}

}  // namespace melodex::server
