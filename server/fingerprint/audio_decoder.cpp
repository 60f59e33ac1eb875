#include "server/fingerprint/audio_decoder.h"

#include <cstdio>

#include "server/fingerprint/audio_input.h"
#include "server/fingerprint/pcm_audio.h"

namespace melodex::server {

bool decodeAudioFile(const std::string& path, std::vector<float>& samples, std::string& error, double maxSeconds) {
    samples.clear();
    AudioInput input;
    if (!input.open(path, 0, error)) return false;
    const size_t maxSamples = static_cast<size_t>(maxSeconds * kFingerprintRate);
    while (true) {
        const ReadResult result = input.read(samples, error);
        if (result == ReadResult::Failed) return false;
        if (result == ReadResult::End) break;
        if (samples.size() > maxSamples) {
            char text[96];
            if (maxSeconds >= 3600)
                std::snprintf(text, sizeof text, "longer than %.3g hours of audio, the most one file may hold", maxSeconds / 3600);
            else
                std::snprintf(text, sizeof text, "longer than %.0f seconds of audio, the most one file may hold", maxSeconds);
            error = text;
            return false;
        }
    }
    if (samples.empty()) {
        error = "no audio decoded";
        return false;
    }
    return true;
}

}  // namespace melodex::server
