#include "server/monitor/segmenter.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace melodex::server {
namespace {

// Matches of one track this far apart give its speed better than a window's own estimate, which
// may be off by more than a percent (a track played 3 % slow in noise, found at 1.2 % slow);
// but they may also not lie on one alignment (one matched a repeat of the track, or the search
// strayed), and the speed between them then leads the samples' agreement off the track. Such a
// speed is only tried where it lies within this share of either window's own.
constexpr double kMinSpeedSpan = 20.0;
constexpr double kMaxSpeedDisagreement = 0.015;
// Windows often miss a play's last seconds (a quiet ending, talk over it, a track off speed in
// noise): its end is looked for up to this many windows after its last match.
constexpr double kEndReach = 3.0;
// Likewise its first seconds: the windows before its first match are checked on its alignment,
// back over up to this many windows' length. Each is checked on the alignment of the one after
// it, so the walk can go further than the first match's speed estimate would hold.
constexpr double kStartReach = 5.0;

// A match's alignment carried on to the window at `seconds`: where its track has got to by then.
WindowHit carriedTo(const WindowHit& match, double seconds) {
    WindowHit out = match;
    out.seconds = seconds;
    out.id.offsetSeconds = match.trackTimeAt(seconds);
    return out;
}

}  // namespace

bool Segmenter::add(const WindowHit& hit, std::string& error) {
    // A play's opening samples are kept once those two windows past its first match have come.
    if (!keepOpenings(hit.seconds - options_.windowSeconds, error) ||
        !closeBefore(hit.seconds - options_.bridgeSeconds, error))
        return false;
    const MatchResult& m = hit.id.match;
    if (!m.found) return follow(hit, error);
    for (Play& p : open_) {
        if (!continues(p, hit, error)) {
            if (!error.empty()) return false;
            continue;
        }
        WindowHit kept;
        if (!likeliest(p, hit, kept, error)) return false;
        record(p, kept);
        ++p.segment.windows;
        if (m.confidence > p.segment.confidence) {
            p.segment.track = m.track;
            p.segment.score = m.score;
            p.segment.confidence = m.confidence;
            p.segment.speed = m.speed;
        }
        return dropRivalsInside(p, error);
    }
    Play p;
    p.first = p.last = hit;
    p.earliest = hit.seconds;
    p.tracks.push_back({hit, hit, hit});
    p.segment = {hit.seconds, hit.seconds + options_.windowSeconds, true, m.track, m.score, m.confidence, m.speed, 1};
    if (!followBack(p, error)) return false;
    dropRivalsWithin(p);
    open_.push_back(std::move(p));
    return true;
}

// Two tracks may share a stretch of music (a theme that both open with), and the windows over it
// may name either. A new play that its own alignment confirms back over every window of an open
// play of another recording was playing there all along: the play that goes on keeps the stretch.
void Segmenter::dropRivalsWithin(const Play& play) {
    open_.erase(std::remove_if(open_.begin(), open_.end(),
                               [&](const Play& rival) {
                                   return rival.last.id.match.recording != play.first.id.match.recording &&
                                          rival.earliest >= play.earliest && rival.last.seconds <= play.first.seconds;
                               }),
                open_.end());
}

// Likewise, windows over such a stretch may name the other track while a play goes on, and its
// own alignment may not confirm it back to the play's earlier matches (a crossfade into the play,
// noise). A play of another recording that began after this one and whose matches all came before
// this one's latest, over which the samples still agree with this play's alignment, was this play.
bool Segmenter::dropRivalsInside(const Play& play, std::string& error) {
    if (refiner_ == nullptr) return true;
    std::vector<bool> inside(open_.size(), false);
    for (size_t i = 0; i < open_.size(); ++i) {
        const Play& rival = open_[i];
        if (&rival == &play || rival.last.id.match.recording == play.last.id.match.recording ||
            rival.earliest < play.earliest || rival.last.seconds >= play.last.seconds)
            continue;
        WindowHit confirmed;
        bool agrees = true;
        for (const WindowHit* h : {&rival.first, &rival.last}) {
            agrees = agrees && refiner_->follow(play.last, h->seconds, h->seconds + options_.windowSeconds, confirmed, error);
            if (!error.empty()) return false;
        }
        inside[i] = agrees;
    }
    for (size_t i = open_.size(); i-- > 0;)
        if (inside[i]) open_.erase(open_.begin() + static_cast<long>(i));
    return true;
}

// A new play may have begun windows before its first match (talk over its opening, a track off
// speed in noise): the windows before it that still agree with it on its alignment are its own.
// As going forward, each window is followed from the one confirmed next to it, so that a speed
// estimate a little off does not lead the alignment away, and the earliest confirmed is the
// track's first match: the speed between it and the last then helps place the start.
bool Segmenter::followBack(Play& play, std::string& error) const {
    if (refiner_ == nullptr) return true;
    const double limit = std::max(covered_, play.first.seconds - kStartReach * options_.windowSeconds);
    TrackHits& track = play.tracks.front();
    for (double from = play.first.seconds - options_.stepSeconds; from >= limit; from -= options_.stepSeconds) {
        WindowHit hit;
        if (!refiner_->follow(track.first, from, from + options_.windowSeconds, hit, error)) return error.empty();
        track.first = track.since = hit;
        play.earliest = play.segment.start = from;
        noteConfirmed(play, from);
    }
    return true;
}

// The alignments of `at` to set against the samples, held at the middle of its window (where a
// window's own speed estimate errs least): at its own speed, and at the speed that two of its
// track's matches imply where they lie far enough apart and that speed is worth trying. Those two
// are its first and last, or where the play moved onto another alignment since its first (its
// opening matched another part of the track), the first on the last one's alignment and the last.
std::vector<WindowHit> Segmenter::alignmentsOf(const WindowHit& at, const TrackHits& track, double length) {
    const auto middle = [&](const WindowHit& h) { return carriedTo(h, h.seconds + length / 2); };
    std::vector<WindowHit> out = {middle(at)};
    // The speed between `from` and `to`, tried on the alignment of `on` carried to `at`.
    const auto trySpan = [&](const WindowHit& from, const WindowHit& to, const WindowHit& on) {
        const WindowHit a = middle(from), b = middle(to);
        if (b.seconds - a.seconds < kMinSpeedSpan) return false;
        const double speed = (b.id.offsetSeconds - a.id.offsetSeconds) / (b.seconds - a.seconds);
        const auto near = [&](const WindowHit& h) { return std::abs(speed / h.id.match.speed - 1) < kMaxSpeedDisagreement; };
        if (!near(from) && !near(to)) return false;
        WindowHit sped = middle(on);
        sped.id.match.speed = speed;
        out.push_back(carriedTo(sped, out.front().seconds));
        return true;
    };
    if (!trySpan(track.first, track.last, at) && track.since.seconds != track.first.seconds)
        trySpan(track.since, track.last, track.since);
    return out;
}

// Whether `hit` finds its track where `match` says the track has got to by then.
bool Segmenter::onAlignmentOf(const WindowHit& match, const WindowHit& hit) const {
    return std::abs(hit.id.offsetSeconds - carriedTo(match, hit.seconds).id.offsetSeconds) <= options_.alignmentTolerance;
}

// A window that overlaps the play's last one continues it whatever its alignment: a track that
// repeats itself (a loop, a chorus) matches either repeat, and one stretch of music cannot be
// two plays.
bool Segmenter::continues(const Play& play, const WindowHit& hit, std::string& error) const {
    if (play.last.id.match.recording != hit.id.match.recording) return false;
    if (hit.seconds - play.last.seconds < options_.windowSeconds) return true;
    const TrackHits* t = findHits(play, hit.id.match.track);
    if (t == nullptr) return true;
    if (onAlignmentOf(t->last, hit)) return true;
    const double there = carriedTo(t->last, hit.seconds).id.offsetSeconds, lag = hit.id.offsetSeconds - there;
    // The windows after a gap may find the track on a repeat (a loop, a chorus played again) of
    // where the play has got to or of its last match: the same music, so the same play.
    if (refiner_ == nullptr) return false;
    const double seconds = options_.windowSeconds;
    const uint32_t track = hit.id.match.track;
    return refiner_->repeats(track, there, lag, seconds, error) ||
           (error.empty() && refiner_->repeats(track, t->last.id.offsetSeconds, lag, seconds, error));
}

// A window that goes on with a play on another alignment of the same track (one over the play's
// last window that found a repeat, or a weak match elsewhere in the track under talk) leaves the
// play on whichever of the two alignments its samples agree with best: one stray match would
// otherwise lead the play off its track, and the windows after it would seem another play.
bool Segmenter::likeliest(const Play& play, const WindowHit& hit, WindowHit& out, std::string& error) const {
    out = hit;
    const TrackHits* t = findHits(play, hit.id.match.track);
    if (refiner_ == nullptr || t == nullptr) return true;
    if (onAlignmentOf(t->last, hit)) return true;
    const WindowHit along = carriedTo(t->last, hit.seconds);
    size_t which = 0;
    if (!refiner_->likeliest({hit, along}, hit.seconds, hit.seconds + options_.windowSeconds, which, error))
        return error.empty();
    if (which == 1) out = along;
    return true;
}

void Segmenter::record(Play& play, const WindowHit& hit) const {
    play.last = hit;
    play.segment.end = std::max(play.segment.end, hit.seconds + options_.windowSeconds);
    for (TrackHits& t : play.tracks)
        if (t.last.id.match.track == hit.id.match.track) {
            if (!onAlignmentOf(t.last, hit)) t.since = hit;
            t.last = hit;
            return;
        }
    play.tracks.push_back({hit, hit, hit});
}

// The samples confirmed the play over the window at `seconds`: a second look at the track when
// that window shares no samples with the play's first match.
void Segmenter::noteConfirmed(Play& play, double seconds) const {
    play.confirmedApart = play.confirmedApart || std::abs(seconds - play.first.seconds) >= options_.windowSeconds;
}

// A window the search missed still extends each open play it confirms on the play's alignment.
bool Segmenter::follow(const WindowHit& missed, std::string& error) {
    if (refiner_ == nullptr) return true;
    for (Play& p : open_) {
        WindowHit hit;
        if (refiner_->follow(p.last, missed.seconds, missed.seconds + options_.windowSeconds, hit, error)) {
            record(p, hit);
            noteConfirmed(p, missed.seconds);
        } else if (!error.empty()) {
            return false;
        }
    }
    return true;
}

bool Segmenter::beforeGap(std::string& error) {
    if (!keepOpenings(std::numeric_limits<double>::infinity(), error)) return false;
    for (Play& p : open_) {
        if (!refineEnd(p, error)) return false;
        p.endRefinedAt = p.last.seconds;
    }
    return true;
}

// The samples from two windows' length before the earliest window that agrees with the play to
// two after its first match: the matching windows next to it make sure the track plays in a
// good part of them, and a start under talk or off speed can lie more than a window before any
// window that agrees. The start is placed on them at once, and again when the play closes, on
// the speed its matches then give.
bool Segmenter::keepOpenings(double firstBefore, std::string& error) {
    if (refiner_ == nullptr) return true;
    for (Play& p : open_) {
        if (p.openingKept || p.first.seconds > firstBefore) continue;
        p.opening = openingOf(p);
        p.openingKept = true;
        if (!refineStart(p, error)) return false;
    }
    return true;
}

BoundaryRefiner::Excerpt Segmenter::openingOf(const Play& play) const {
    return refiner_->excerpt(play.earliest - 2 * options_.windowSeconds, play.first.seconds + 2 * options_.windowSeconds);
}

// The first and last match of one of the play's tracks, or null when the play has not matched it.
const Segmenter::TrackHits* Segmenter::findHits(const Play& play, uint32_t track) {
    const auto t = std::find_if(play.tracks.begin(), play.tracks.end(),
                                [&](const TrackHits& h) { return h.last.id.match.track == track; });
    return t == play.tracks.end() ? nullptr : &*t;
}

// The same, of a track the play has matched.
const Segmenter::TrackHits& Segmenter::hitsOf(const Play& play, uint32_t track) { return *findHits(play, track); }

bool Segmenter::refineStart(Play& play, std::string& error) {
    if (refiner_ == nullptr || play.startMet) return true;
    const TrackHits& t = hitsOf(play, play.first.id.match.track);
    const double length = options_.windowSeconds;
    double at = 0;
    if (refiner_->start(alignmentsOf(play.first, t, length), play.opening, at, error)) play.segment.start = at;
    return error.empty();
}

bool Segmenter::refineEnd(Play& play, std::string& error) {
    if (refiner_ == nullptr) return true;
    const TrackHits& t = hitsOf(play, play.last.id.match.track);
    const double length = options_.windowSeconds;
    double at = 0;
    if (refiner_->end(alignmentsOf(play.last, t, length),
                      refiner_->excerpt(play.last.seconds - length, play.last.seconds + kEndReach * length), at, error))
        play.segment.end = at;
    return error.empty();
}

bool Segmenter::meeting(const Play& before, const Play& after, double& at, std::string& error) {
    if (refiner_ == nullptr) return true;
    const double length = options_.windowSeconds;
    const TrackHits& a = hitsOf(before, before.last.id.match.track);
    const TrackHits& b = hitsOf(after, after.first.id.match.track);
    const BoundaryRefiner::Excerpt excerpt =
        refiner_->excerpt(std::min(before.last.seconds, after.earliest) - length,
                          std::max(before.last.seconds, after.first.seconds) + 2 * length);
    double found = 0;
    if (refiner_->crossover(alignmentsOf(before.last, a, length),
                            alignmentsOf(after.first, b, length), excerpt, found, error) &&
        std::abs(found - at) < length)
        at = found;
    return error.empty();
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

// Whether enough windows matched the play, a window that its samples confirm apart from its first
// match counting as one more. Such a play that another play of its recording overlaps is that
// play found on another alignment (music the track repeats), not a play of its own.
bool Segmenter::reportable(const Play& play) const {
    if (play.segment.windows >= options_.minWindows) return true;
    if (!play.confirmedApart || play.segment.windows + 1 < options_.minWindows) return false;
    const uint32_t recording = play.first.id.match.recording;
    if (recording == coveredRecording_ && play.earliest < covered_) return false;
    return std::none_of(open_.begin(), open_.end(), [&](const Play& other) {
        return other.first.id.match.recording == recording && other.earliest < play.last.seconds + options_.windowSeconds &&
               play.earliest < other.last.seconds + options_.windowSeconds;
    });
}

bool Segmenter::close(size_t i, std::string& error) {
    Play play = std::move(open_[i]);
    open_.erase(open_.begin() + static_cast<long>(i));
    if (!reportable(play)) return true;
    Segment& s = play.segment;
    if (!play.openingKept && refiner_ != nullptr) play.opening = openingOf(play);
    if (!refineStart(play, error) || (play.endRefinedAt != play.last.seconds && !refineEnd(play, error)) ||
        !keepOpenings(s.end, error))
        return false;
    // A crossfade: the next play began before this one ended, or so soon after it that no
    // window could tell what played between. They meet where the next one takes over, or
    // halfway where that cannot be told.
    Play* next = nullptr;
    for (Play& n : open_)
        if (n.segment.start > s.start && (next == nullptr || n.segment.start < next->segment.start)) next = &n;
    if (next != nullptr && next->segment.start < s.end + options_.windowSeconds) {
        double at = (next->segment.start + s.end) / 2;
        if (!meeting(play, *next, at, error)) return false;
        s.end = next->segment.start = at;
        next->startMet = true;
    }
    s.end = std::max(s.end, s.start);
    emit(s);
    if (s.end >= covered_) coveredRecording_ = play.first.id.match.recording;
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
