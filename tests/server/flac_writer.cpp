#include "tests/server/flac_writer.h"

#include <algorithm>
#include <cmath>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

namespace melodex::server::test {
namespace {

struct OutputClose {
    void operator()(AVFormatContext* c) const {
        if (c->pb) avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

bool drain(AVCodecContext* codec, AVFormatContext* format, AVStream* stream, AVPacket* packet) {
    int rc;
    while ((rc = avcodec_receive_packet(codec, packet)) == 0) {
        av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
        packet->stream_index = stream->index;
        if (av_interleaved_write_frame(format, packet) < 0) return false;
    }
    return rc == AVERROR(EAGAIN) || rc == AVERROR_EOF;
}

}  // namespace

bool writeFlac(const std::string& path, const std::vector<float>& samples, int rate) {
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "flac", path.c_str()) < 0) return false;
    std::unique_ptr<AVFormatContext, OutputClose> format(raw);
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_FLAC);
    if (encoder == nullptr) return false;
    AVStream* stream = avformat_new_stream(format.get(), nullptr);
    std::unique_ptr<AVCodecContext, CodecFree> codec(avcodec_alloc_context3(encoder));
    codec->sample_rate = rate;
    codec->sample_fmt = AV_SAMPLE_FMT_S16;
    codec->ch_layout = AV_CHANNEL_LAYOUT_MONO;
    codec->time_base = {1, rate};
    if (avcodec_open2(codec.get(), encoder, nullptr) < 0 || avcodec_parameters_from_context(stream->codecpar, codec.get()) < 0)
        return false;
    stream->time_base = codec->time_base;
    if (avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(format.get(), nullptr) < 0)
        return false;
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    const int chunk = codec->frame_size > 0 ? codec->frame_size : 4096;
    for (size_t at = 0; at < samples.size(); at += static_cast<size_t>(chunk)) {
        const int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(chunk), samples.size() - at));
        av_frame_unref(frame.get());
        frame->nb_samples = n;
        frame->format = AV_SAMPLE_FMT_S16;
        frame->sample_rate = rate;
        av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout);
        frame->pts = static_cast<int64_t>(at);
        if (av_frame_get_buffer(frame.get(), 0) < 0) return false;
        auto* out = reinterpret_cast<int16_t*>(frame->data[0]);
        for (int i = 0; i < n; ++i)
            out[i] = static_cast<int16_t>(std::lround(std::max(-1.0f, std::min(1.0f, samples[at + static_cast<size_t>(i)])) * 32767.0f));
        if (avcodec_send_frame(codec.get(), frame.get()) < 0 || !drain(codec.get(), format.get(), stream, packet.get()))
            return false;
    }
    avcodec_send_frame(codec.get(), nullptr);
    if (!drain(codec.get(), format.get(), stream, packet.get())) return false;
    return av_write_trailer(format.get()) == 0;
}

}  // namespace melodex::server::test
