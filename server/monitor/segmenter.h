#pragma once

#include <functional>
#include <string>
#include <vector>

#include "server/monitor/boundary_refiner.h"
#include "server/monitor/segment.h"
#include "server/monitor/window_hit.h"

namespace melodex::server {

struct SegmenterOptions {
    double windowSeconds = 11.0;
    double stepSeconds = 3.0;
    // A play goes on across windows that miss it (talk over it, a loud passage) for this long,
    // when the windows after the gap find the track where it would have got to by then.
    double bridgeSeconds = 90.0;
    // Windows that must match a play before it is reported: one window alone may be chance. A
    // window that the samples confirm on the play's alignment counts as one more, when it shares
    // no samples with the play's first match (a track off speed under talk, matched only once).
    int minWindows = 2;
    // A window continues a play when it finds the track within this many seconds of where the
    // play's last window says it has got to (speed estimates differ a little between windows).
    double alignmentTolerance = 2.0;
    bool reportUnknown = true;  // stretches between plays as segments of their own
};

// Turns the answers of a sliding window into segments, in order: windows that match the same
// track on the same alignment are one play, however many windows between them miss it (up to the
// bridge); the same track on another alignment is another play, unless its music there repeats
// what the play has got to (a loop, a chorus), and another copy of the same recording (a
// compilation's, an extended version's) the same play; a few windows that name another track
// where the samples go on with the play (music the two share) are the play's. A play's ends are
// refined on the samples, along the alignment its first and last matches give; two plays that
// overlap (a crossfade) or leave less than a window between them meet halfway. A play is
// reported once no window has matched it for the bridge's length.
class Segmenter {
public:
    using Sink = std::function<void(const Segment&)>;
    // `refiner` may be null: the ends are then the matching windows' own.
    Segmenter(const SegmenterOptions& options, BoundaryRefiner* refiner, Sink sink, double startSeconds)
        : options_(options), refiner_(refiner), sink_(std::move(sink)), covered_(startSeconds) {}

    // Windows come in the order of their start.
    bool add(const WindowHit& hit, std::string& error);
    // The samples so far are about to go (a gap in a stream): open plays are refined on what
    // there is, their ends as if they stopped here (as they have unless a window after the gap
    // matches them again).
    bool beforeGap(std::string& error);
    // The input ended (or stopped) at `endSeconds`: every open play is reported.
    bool finish(double endSeconds, std::string& error);

private:
    // The first and the last match of one track of the play's recording.
    struct TrackHits {
        WindowHit first, last;
        WindowHit since;  // the first match on the last one's alignment
    };
    struct Play {
        Segment segment;
        WindowHit first, last;
        double earliest = 0;  // the first window that agrees with the play: its first match's or one before
        std::vector<TrackHits> tracks;
        BoundaryRefiner::Excerpt opening;  // the samples around the earliest window that agrees
        bool openingKept = false;
        bool confirmedApart = false;       // the samples confirmed it a whole window from its first match
        bool startMet = false;             // the start was set where the play before it ended
        double endRefinedAt = -1;          // the last match's start when the end was refined
    };
    static std::vector<WindowHit> alignmentsOf(const WindowHit& at, const TrackHits& track, double length);
    bool onAlignmentOf(const WindowHit& match, const WindowHit& hit) const;
    bool continues(const Play& play, const WindowHit& hit, std::string& error) const;
    bool likeliest(const Play& play, const WindowHit& hit, WindowHit& out, std::string& error) const;
    void record(Play& play, const WindowHit& hit) const;
    void noteConfirmed(Play& play, double seconds) const;
    bool follow(const WindowHit& missed, std::string& error);
    bool followBack(Play& play, std::string& error) const;
    void dropRivalsWithin(const Play& play);
    bool dropRivalsInside(const Play& play, std::string& error);
    bool keepOpenings(double firstBefore, std::string& error);
    BoundaryRefiner::Excerpt openingOf(const Play& play) const;
    static const TrackHits* findHits(const Play& play, uint32_t track);
    static const TrackHits& hitsOf(const Play& play, uint32_t track);
    bool refineStart(Play& play, std::string& error);
    bool refineEnd(Play& play, std::string& error);
    bool meeting(const Play& before, const Play& after, double& at, std::string& error);
    bool closeBefore(double seconds, std::string& error);
    bool reportable(const Play& play) const;
    bool close(size_t i, std::string& error);
    void emit(Segment segment);

    SegmenterOptions options_;
    BoundaryRefiner* refiner_;
    Sink sink_;
    double covered_;  // where the last reported segment ends
    uint32_t coveredRecording_ = 0;  // the recording of the last play reported
    std::vector<Play> open_;
};

}  // namespace melodex::server
