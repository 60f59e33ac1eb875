#include "server/match/vote_surprise.h"

#include <algorithm>
#include <cmath>

namespace melodex::server {
namespace {

// ln P(X >= k) for X Poisson with mean `mean`. Below the mean the tail is about a half or more:
// nothing to measure. Above it the terms from k on shrink at least geometrically.
double logTail(double mean, int k) {
    if (k <= mean) return 0.0;
    const double first = -mean + k * std::log(mean) - std::lgamma(k + 1.0);
    double sum = 1, term = 1;
    for (int i = k + 1; term > 1e-12; ++i) {
        term *= mean / i;
        sum += term;
    }
    return first + std::log(sum);
}

}  // namespace

double voteSurprise(int score, size_t votes, int trackFrames, int queryFrames, int window, size_t speeds) {
    const double offsets = std::max(1, trackFrames + queryFrames);
    const double mean = static_cast<double>(votes) * window / offsets;
    return -(std::log(offsets * static_cast<double>(std::max<size_t>(1, speeds))) + logTail(mean, score));
}

}  // namespace melodex::server
