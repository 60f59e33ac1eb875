#include "server/match/identifier.h"

#include "server/fingerprint/fingerprinter.h"
#include "server/fingerprint/resampler.h"

namespace melodex::server {

bool Identifier::identify(const std::vector<float>& samples, Identification& out, std::string& error) const {
    out = Identification{};
    const std::vector<Landmark> landmarks = fingerprint(samples, query_);
    if (!matchLandmarks(index_, landmarks, match_, out.match, error)) return false;
    out.offsetSeconds = out.match.offsetFrames * query_.frameSeconds();
    return true;
}

bool Identifier::identify(const PcmAudio& audio, Identification& out, std::string& error) const {
    std::vector<float> mono;
    if (!toFingerprintRate(audio, mono, error)) return false;
    return identify(mono, out, error);
}

}  // namespace melodex::server
