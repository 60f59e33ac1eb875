#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/fingerprint/fingerprint_params.h"
#include "server/index/index.h"
#include "server/monitor/sample_history.h"
#include "server/monitor/window_hit.h"

namespace melodex::server {

// Finds where a play of a track begins or ends to a fraction of a second. Which windows matched
// only brackets a boundary within a window's length; along the alignment a matching window
// found, the input agrees with the track's signature moment by moment while the track plays and
// only by chance before and after it, so the boundary is where that agreement steps down.
class BoundaryRefiner {
public:
    BoundaryRefiner(Index& index, const SampleHistory& history) : index_(index), history_(history) {}

    // The start or the end of the play `hit` belongs to, searched between `from` and `to` (input
    // seconds); false when those samples are gone or the agreement is too weak to tell.
    bool start(const WindowHit& hit, double from, double to, double& at, std::string& error);
    bool end(const WindowHit& hit, double from, double to, double& at, std::string& error);

private:
    struct Agreement {
        std::vector<double> times;  // input seconds of each signature frame
        std::vector<float> z;       // its agreement with the track: a z-score of one frame
        float level = 0;            // the agreement typical of the frames where the track plays
    };
    bool agreementAlong(const WindowHit& hit, double from, double to, Agreement& out, std::string& error);
    // The frame where the track starts playing (`playsAfter`) or stops.
    static size_t stepAt(const Agreement& a, bool playsAfter);

    Index& index_;
    const SampleHistory& history_;
    const FingerprintParams params_ = FingerprintParams::query();
    uint32_t loaded_ = 0;
    std::vector<uint32_t> reference_;
};

}  // namespace melodex::server
