#include "server/fingerprint/resampler.h"

#include <memory>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace melodex::server {
namespace {

struct SwrFree {
    void operator()(SwrContext* c) const { swr_free(&c); }
};

std::vector<float> downmix(const PcmAudio& in) {
    const size_t frames = in.frames();
    std::vector<float> mono(frames);
    const float scale = 1.0f / static_cast<float>(in.channels);
    for (size_t f = 0; f < frames; ++f) {
        float sum = 0.0f;
        for (int c = 0; c < in.channels; ++c) sum += in.samples[f * in.channels + c];
        mono[f] = sum * scale;
    }
    return mono;
}

}  // namespace

bool toFingerprintRate(const PcmAudio& in, std::vector<float>& out, std::string& error) {
    out.clear();
    if (in.channels <= 0 || in.sampleRate <= 0) {
        error = "audio has no format";
        return false;
    }
    std::vector<float> mono = in.channels == 1 ? in.samples : downmix(in);
    if (in.sampleRate == kFingerprintRate) {
        out = std::move(mono);
        return true;
    }
    AVChannelLayout layout = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* raw = nullptr;
    if (swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_FLT, kFingerprintRate, &layout, AV_SAMPLE_FMT_FLT,
                            in.sampleRate, 0, nullptr) < 0) {
        error = "cannot set up the resampler";
        return false;
    }
    std::unique_ptr<SwrContext, SwrFree> swr(raw);
    if (swr_init(swr.get()) < 0) {
        error = "cannot start the resampler";
        return false;
    }
    const int inFrames = static_cast<int>(mono.size());
    const int capacity = swr_get_out_samples(swr.get(), inFrames) + 64;
    out.resize(static_cast<size_t>(capacity));
    const uint8_t* src[1] = {reinterpret_cast<const uint8_t*>(mono.data())};
    uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(out.data())};
    const int produced = swr_convert(swr.get(), dst, capacity, src, inFrames);
    if (produced < 0) {
        error = "resampling failed";
        out.clear();
        return false;
    }
    uint8_t* tail[1] = {reinterpret_cast<uint8_t*>(out.data() + produced)};
    const int flushed = swr_convert(swr.get(), tail, capacity - produced, nullptr, 0);
    out.resize(static_cast<size_t>(produced + (flushed > 0 ? flushed : 0)));
    return true;
}

}  // namespace melodex::server
