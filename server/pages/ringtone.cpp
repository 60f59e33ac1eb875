#include "server/pages/ringtone.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/mem.h>
}

#include "server/pages/audio_encoder.h"
#include "server/pages/audio_reader.h"

namespace melodex::server {
namespace {

constexpr int kRate = 44100;
constexpr double kFadeInSeconds = 0.5;
constexpr double kFadeOutSeconds = 1.5;
constexpr double kVorbisQuality = 5.0;  // about 160 kbit/s for stereo
constexpr int kIoBufferBytes = 16384;

// FFmpeg 5 declares the write callback with a non-const buffer.
int appendTo(void* opaque, uint8_t* data, int size) {
    static_cast<std::string*>(opaque)->append(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
    return size;
}

struct MuxerFree {
    void operator()(AVFormatContext* c) const {
        if (c->pb != nullptr) {
            av_freep(&c->pb->buffer);
            avio_context_free(&c->pb);
        }
        avformat_free_context(c);
    }
};

// An Ogg muxer writing into `out`.
std::unique_ptr<AVFormatContext, MuxerFree> oggInto(std::string& out, std::string& error) {
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "ogg", nullptr) < 0 || raw == nullptr) {
        error = "FFmpeg has no Ogg muxer here";
        return nullptr;
    }
    std::unique_ptr<AVFormatContext, MuxerFree> muxer(raw);
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    if (buffer != nullptr) muxer->pb = avio_alloc_context(buffer, kIoBufferBytes, 1, &out, nullptr, appendTo, nullptr);
    if (muxer->pb == nullptr) {
        av_free(buffer);
        error = "out of memory";
        return nullptr;
    }
    return muxer;
}

// A raised-cosine ramp over the first and last moments.
float fadeGain(int64_t sample, int64_t total) {
    const double t = static_cast<double>(sample) / kRate;
    const double left = static_cast<double>(total - sample) / kRate;
    double gain = 1.0;
    if (t < kFadeInSeconds) gain = std::min(gain, 0.5 - 0.5 * std::cos(M_PI * t / kFadeInSeconds));
    if (left < kFadeOutSeconds) gain = std::min(gain, 0.5 - 0.5 * std::cos(M_PI * left / kFadeOutSeconds));
    return static_cast<float>(gain);
}

using Planes = std::vector<std::vector<float>>;  // one vector of samples a channel

// Up to 30 seconds from the reader. The fade-out needs the end, which is known only once the
// track ends or the 30 seconds are in: the excerpt is read whole first.
bool readExcerpt(AudioReader& reader, AudioEncoder& encoder, Planes& audio, std::string& error) {
    const auto total = static_cast<size_t>(std::llround(kRingtoneSeconds * kRate));
    audio.assign(static_cast<size_t>(reader.channels()), {});
    while (audio[0].size() < total) {
        AVFrame* frame = encoder.nextFrame();
        const int want = static_cast<int>(std::min<size_t>(encoder.frameSize(), total - audio[0].size()));
        if (frame == nullptr || !reader.take(frame, want, error)) return false;
        if (frame->nb_samples == 0) break;
        for (size_t c = 0; c < audio.size(); ++c) {
            const auto* p = reinterpret_cast<const float*>(frame->data[c]);
            audio[c].insert(audio[c].end(), p, p + frame->nb_samples);
        }
    }
    if (audio[0].empty()) error = "the track holds no audio where the ringtone starts";
    return !audio[0].empty();
}

bool encodeFaded(const Planes& audio, AudioEncoder& encoder, const std::function<bool(AVPacket*)>& write,
                 std::string& error) {
    const auto length = static_cast<int64_t>(audio[0].size());
    for (int64_t at = 0; at < length; at += encoder.frameSize()) {
        AVFrame* frame = encoder.nextFrame();
        if (frame == nullptr) {
            error = "out of memory";
            return false;
        }
        frame->nb_samples = static_cast<int>(std::min<int64_t>(encoder.frameSize(), length - at));
        for (size_t c = 0; c < audio.size(); ++c) {
            auto* p = reinterpret_cast<float*>(frame->data[c]);
            for (int i = 0; i < frame->nb_samples; ++i) p[i] = audio[c][at + i] * fadeGain(at + i, length);
        }
        if (!encoder.encode(frame, write, error)) return false;
    }
    return encoder.encode(nullptr, write, error);
}

}  // namespace

double ringtoneStart(double matchSeconds, double trackSeconds) {
    // A length the tags do not know leaves the excerpt where the match is.
    if (trackSeconds <= 0) return std::max(0.0, matchSeconds);
    return std::max(0.0, std::min(matchSeconds, trackSeconds - kRingtoneSeconds));
}

bool makeRingtone(const std::string& path, double startSeconds, std::string& ogg, std::string& error) {
    ogg.clear();
    AudioReader reader;
    AudioEncoder encoder;
    Planes audio;
    if (!reader.open(path, startSeconds, true, kRate, 0, error) ||
        !encoder.open("libvorbis", kRate, reader.channels(), 0, kVorbisQuality, error) ||
        !readExcerpt(reader, encoder, audio, error))
        return false;
    auto muxer = oggInto(ogg, error);
    if (!muxer) return false;
    AVStream* stream = avformat_new_stream(muxer.get(), nullptr);
    if (stream == nullptr || avcodec_parameters_from_context(stream->codecpar, encoder.context()) < 0) {
        error = "cannot set up the Ogg stream";
        return false;
    }
    stream->time_base = encoder.context()->time_base;
    if (avformat_write_header(muxer.get(), nullptr) < 0) {
        error = "cannot write the Ogg header";
        return false;
    }
    const AVRational codecBase = encoder.context()->time_base;
    const auto write = [&](AVPacket* packet) {
        packet->stream_index = stream->index;
        av_packet_rescale_ts(packet, codecBase, stream->time_base);
        return av_interleaved_write_frame(muxer.get(), packet) >= 0;
    };
    if (!encodeFaded(audio, encoder, write, error)) return false;
    if (av_write_trailer(muxer.get()) < 0) {
        error = "cannot finish the Ogg file";
        return false;
    }
    avio_flush(muxer->pb);
    return true;
}

}  // namespace melodex::server
