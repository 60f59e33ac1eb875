#include "server/match/identifier.h"

#include <cmath>
#include <cstdio>

#include "server/fingerprint/fingerprinter.h"
#include "server/fingerprint/resampler.h"

namespace melodex::server {

std::string describeDecision(const Identification& id) {
    const MatchResult& m = id.match;
    char text[160];
    std::snprintf(text, sizeof text, "score=%d recording=%u runner_up=%d runner_up_track=%u speed=%.3f", m.score,
                  m.recording, m.runnerUp, m.runnerUpTrack, m.speed);
    return text;
}

bool Identifier::identify(const std::vector<float>& samples, Identification& out, std::string& error) const {
    out = Identification{};
    if (!matchLandmarks(index_, fingerprint(samples, query_), match_, out.match, error)) return false;
    // Not found at its own speed: undo a few speed changes, keeping the first that matches.
    MatchParams atSpeed = match_;
    atSpeed.margin = match_.speedMargin;
    for (size_t i = 0; i < match_.speeds.size() && !out.match.found; ++i) {
        const double speed = match_.speeds[i];
        // Samples of music played `speed` times fast, read at 8000 / speed Hz, are the music
        // at its own speed.
        PcmAudio audio;
        audio.sampleRate = static_cast<int>(std::lround(kFingerprintRate / speed));
        audio.channels = 1;
        audio.samples = samples;
        std::vector<float> restored;
        MatchResult result;
        if (!toFingerprintRate(audio, restored, error) ||
            !matchLandmarks(index_, fingerprint(restored, query_), atSpeed, result, error))
            return false;
        if (result.found) {
            out.match = result;
            out.match.speed = speed;
        }
    }
    out.offsetSeconds = out.match.offsetFrames * query_.frameSeconds();
    return true;
}

bool Identifier::identify(const PcmAudio& audio, Identification& out, std::string& error) const {
    std::vector<float> mono;
    if (!toFingerprintRate(audio, mono, error)) return false;
    return identify(mono, out, error);
}

}  // namespace melodex::server
