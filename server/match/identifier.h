#pragma once

#include <string>
#include <vector>

#include "server/fingerprint/fingerprint_params.h"
#include "server/fingerprint/pcm_audio.h"
#include "server/index/index.h"
#include "server/match/matcher.h"

namespace melodex::server {

// The answer for one window of sound: the match with its figures (track, score, confidence,
// speed), and where the window starts in the track.
struct Identification {
    MatchResult match;
    double offsetSeconds = 0.0;
};

// The figures behind a decision on one line, for access logs and diagnostics:
// "score=S confidence=C check=K surprise=U recording=G runner_up=R runner_up_track=T speed=F".
std::string describeDecision(const Identification& id);

// Turns a recording into a decision: fingerprint with the query parameters, then match. One
// identifier serves any number of threads; each window is identified on its own, so a caller
// that slides a window over a stream asks once per window.
class Identifier {
public:
    explicit Identifier(Index& index, MatchParams match = {},
                        FingerprintParams query = FingerprintParams::query())
        : index_(index), match_(match), query_(query) {}

    // `samples` are mono at the fingerprint rate (kFingerprintRate).
    bool identify(const std::vector<float>& samples, Identification& out, std::string& error) const;
    // Any PCM audio (down-mixed and resampled first).
    bool identify(const PcmAudio& audio, Identification& out, std::string& error) const;

private:
    Index& index_;
    MatchParams match_;
    FingerprintParams query_;
};

}  // namespace melodex::server
