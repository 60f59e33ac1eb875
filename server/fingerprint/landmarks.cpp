#include "server/fingerprint/landmarks.h"

#include <cstdlib>

namespace melodex::server {

uint32_t packHash(int anchorBin, int binDelta, int frameDelta) {
    return (static_cast<uint32_t>(anchorBin & 0xFF) << 13) | (static_cast<uint32_t>((binDelta + 64) & 0x7F) << 6) |
           static_cast<uint32_t>(frameDelta & 0x3F);
}

std::vector<Landmark> makeLandmarks(const std::vector<Peak>& peaks, const FingerprintParams& params) {
    std::vector<Landmark> out;
    out.reserve(peaks.size() * static_cast<size_t>(params.fanOut));
    const int maxDt = params.maxDt < 63 ? params.maxDt : 63;
    const int maxDf = params.maxDf < 63 ? params.maxDf : 63;
    for (size_t i = 0; i < peaks.size(); ++i) {
        const Peak& a = peaks[i];
        int made = 0;
        for (size_t j = i + 1; j < peaks.size() && made < params.fanOut; ++j) {
            const Peak& b = peaks[j];
            const int dt = b.frame - a.frame;
            if (dt > maxDt) break;
            const int df = b.bin - a.bin;
            if (dt < params.minDt || std::abs(df) > maxDf) continue;
            out.push_back({packHash(a.bin, df, dt), static_cast<uint32_t>(a.frame)});
            ++made;
        }
    }
    return out;
}

}  // namespace melodex::server
