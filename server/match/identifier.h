#pragma once

#include <string>
#include <vector>

#include "server/fingerprint/fingerprint_params.h"
#include "server/fingerprint/pcm_audio.h"
#include "server/index/index.h"
#include "server/match/matcher.h"

namespace melodex::server {

struct Identification {
    MatchResult match;
    double offsetSeconds = 0.0;  // where the query starts in the track
};

// The figures behind a decision on one line, for access logs and diagnostics:
// "score=S recording=G runner_up=R runner_up_track=T speed=F".
std::string describeDecision(const Identification& id);

// Turns a recording into a decision: fingerprint with the query parameters, then match.
class Identifier {
public:
    explicit Identifier(Index& index, MatchParams match = {},
                        FingerprintParams query = FingerprintParams::query())
        : index_(index), match_(match), query_(query) {}

    // `samples` are mono at the fingerprint rate.
    bool identify(const std::vector<float>& samples, Identification& out, std::string& error) const;
    // Any PCM audio (down-mixed and resampled first).
    bool identify(const PcmAudio& audio, Identification& out, std::string& error) const;

private:
    Index& index_;
    MatchParams match_;
    FingerprintParams query_;
};

}  // namespace melodex::server
