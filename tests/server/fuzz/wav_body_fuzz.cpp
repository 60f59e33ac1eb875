// libFuzzer entry point: any bytes through the request body parser, then through the resampler
// when they parse. Build with clang: cmake -DCMAKE_CXX_COMPILER=clang++ ... --target melodex_wav_body_fuzz
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/fingerprint/resampler.h"
#include "server/fingerprint/wav_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const melodex::server::WavParse wav = melodex::server::parseWavBody(data, size);
    if (wav.status == melodex::server::WavStatus::Ok && wav.audio.samples.size() < (1u << 20)) {
        std::vector<float> mono;
        std::string error;
        melodex::server::toFingerprintRate(wav.audio, mono, error);
    }
    return 0;
}
