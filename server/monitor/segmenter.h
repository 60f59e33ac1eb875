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
    // A play goes on across windows that miss it (talk over it, a loud passage) for this long.
    double bridgeSeconds = 15.0;
    // Windows that must match a play before it is reported: one window alone may be chance.
    int minWindows = 2;
    // Windows of one play agree on when the track would have begun within this many seconds
    // (speed and offset estimates differ a little from window to window).
    double anchorTolerance = 2.0;
    bool reportUnknown = true;  // stretches between plays as segments of their own
};

// Turns the answers of a sliding window into segments, in order: windows that match the same
// track on the same alignment are one play, however many windows between them miss it (up to the
// bridge); the same track on another alignment is another play. A play's ends are refined on the
// samples, and two plays that overlap (a crossfade) meet halfway through the overlap. A play is
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
    struct Play {
        Segment segment;
        WindowHit first, last;
        bool startRefined = false;
        double endRefinedAt = -1;  // the last match's start when the end was refined
    };
    bool refine(Play& play, bool start, std::string& error);
    bool refineStarts(double firstBefore, std::string& error);
    bool closeBefore(double seconds, std::string& error);
    bool close(size_t i, std::string& error);
    void emit(Segment segment);

    SegmenterOptions options_;
    BoundaryRefiner* refiner_;
    Sink sink_;
    double covered_;  // where the last reported segment ends
    std::vector<Play> open_;
};

}  // namespace melodex::server
