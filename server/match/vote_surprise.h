#pragma once

#include <cstddef>

namespace melodex::server {

// How far beyond chance a track's alignment stands, from the figures of this query alone.
// Chance spreads a track's `votes` over every offset the recording can take in the track (its
// frames and the recording's), so the votes one window of `window` frames gathers by chance are
// Poisson with mean votes x window / offsets. The surprise is -ln of the chance that any of the
// offsets (at any of `speeds` speeds tried) gathers `score` or more: in natural-log units, above
// zero when chance explains the alignment badly. A query with many hashes against a long,
// dense track earns less for the same score than a sparse one.
double voteSurprise(int score, size_t votes, int trackFrames, int queryFrames, int window, size_t speeds);

}  // namespace melodex::server
