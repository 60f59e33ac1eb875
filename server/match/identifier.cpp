#include "server/match/identifier.h"

#include <cstdio>

#include "server/fingerprint/resampler.h"
#include "server/match/query.h"

namespace melodex::server {

std::string describeDecision(const Identification& id) {
    const MatchResult& m = id.match;
    char text[240];
    std::snprintf(text, sizeof text,
                  "score=%d confidence=%.1f check=%.1f surprise=%.1f recording=%u runner_up=%.1f runner_up_track=%u speed=%.3f",
                  m.score, m.confidence, m.check, m.surprise, m.recording, m.runnerUp, m.runnerUpTrack, m.speed);
    return text;
}

bool Identifier::identify(const std::vector<float>& samples, Identification& out, std::string& error) const {
    out = Identification{};
    Query query(samples, query_);
    if (!matchQuery(index_, query, match_, out.match, error)) return false;
    out.offsetSeconds = out.match.offsetFrames * query_.frameSeconds();
    return true;
}

bool Identifier::identify(const PcmAudio& audio, Identification& out, std::string& error) const {
    std::vector<float> mono;
    if (!toFingerprintRate(audio, mono, error)) return false;
    return identify(mono, out, error);
}

}  // namespace melodex::server
