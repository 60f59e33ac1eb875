#pragma once

#include <cstdint>

namespace melodex::server {

// A stretch of the input: one play of a catalogue track, or (known false) music or speech that
// matched nothing.
struct Segment {
    double start = 0;  // seconds from the input's start
    double end = 0;
    bool known = false;
    uint32_t track = 0;        // the best matching window's track
    int score = 0;             // that window's agreeing moments
    double confidence = 0;     // and its confidence (a window needs MatchParams::minConfidence)
    double speed = 1.0;        // how much faster than the catalogue it played
    int windows = 0;           // windows that matched this play
};

}  // namespace melodex::server
