#include "server/fingerprint/audio_decoder.h"

#include <cstdio>
#include <memory>

#include "server/fingerprint/ffmpeg_handles.h"
#include "server/fingerprint/pcm_audio.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace melodex::server {
namespace {

// Streams decoded frames through one resampler into the output vector.
class Decoder {
public:
    Decoder(AVCodecContext* codec, std::vector<float>& out, double maxSeconds)
        : codec_(codec), out_(out), maxSamples_(static_cast<size_t>(maxSeconds * kFingerprintRate)), maxSeconds_(maxSeconds) {}

    bool start(std::string& error) {
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        AVChannelLayout inLayout;
        if (codec_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || codec_->ch_layout.nb_channels == 0)
            av_channel_layout_default(&inLayout, codec_->ch_layout.nb_channels > 0 ? codec_->ch_layout.nb_channels : 1);
        else
            av_channel_layout_copy(&inLayout, &codec_->ch_layout);
        SwrContext* raw = nullptr;
        const int rc = swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_FLT, kFingerprintRate, &inLayout,
                                           codec_->sample_fmt, codec_->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        swr_.reset(raw);
        if (rc < 0 || swr_init(swr_.get()) < 0) {
            error = "cannot set up the resampler";
            return false;
        }
        return true;
    }

    bool push(const AVFrame* frame, std::string& error) {
        const int capacity = swr_get_out_samples(swr_.get(), frame->nb_samples) + 32;
        const size_t at = out_.size();
        if (capacity < 0) {
            error = "decoding failed";
            return false;
        }
        if (at + static_cast<size_t>(capacity) > maxSamples_) {
            tooLong_ = true;
            char text[96];
            if (maxSeconds_ >= 3600)
                std::snprintf(text, sizeof text, "longer than %.3g hours of audio, the most one file may hold", maxSeconds_ / 3600);
            else
                std::snprintf(text, sizeof text, "longer than %.0f seconds of audio, the most one file may hold", maxSeconds_);
            error = text;
            return false;
        }
        out_.resize(at + static_cast<size_t>(capacity));
        uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(out_.data() + at)};
        const int n = swr_convert(swr_.get(), dst, capacity, const_cast<const uint8_t**>(frame->extended_data),
                                  frame->nb_samples);
        out_.resize(at + static_cast<size_t>(n > 0 ? n : 0));
        if (n < 0) error = "decoding failed";
        return n >= 0;
    }

    bool tooLong() const { return tooLong_; }

    void flush() {
        const int capacity = 4096;
        const size_t at = out_.size();
        out_.resize(at + capacity);
        uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(out_.data() + at)};
        const int n = swr_convert(swr_.get(), dst, capacity, nullptr, 0);
        out_.resize(at + static_cast<size_t>(n > 0 ? n : 0));
    }

private:
    AVCodecContext* codec_;
    std::vector<float>& out_;
    const size_t maxSamples_;
    const double maxSeconds_;
    SwrHandle swr_;
    bool tooLong_ = false;
};

bool drain(AVCodecContext* codec, AVFrame* frame, Decoder& decoder, std::string& error) {
    while (true) {
        const int rc = avcodec_receive_frame(codec, frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) {
            error = "decoding failed";
            return false;
        }
        const bool ok = decoder.push(frame, error);
        av_frame_unref(frame);
        if (!ok) return false;
    }
}

}  // namespace

bool decodeAudioFile(const std::string& path, std::vector<float>& samples, std::string& error, double maxSeconds) {
    quietFfmpeg();
    samples.clear();
    AVFormatContext* rawFormat = nullptr;
    int rc = avformat_open_input(&rawFormat, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        error = "cannot open: " + avErrorText(rc);
        return false;
    }
    FormatHandle format(rawFormat);
    if ((rc = avformat_find_stream_info(format.get(), nullptr)) < 0) {
        error = "cannot read stream info: " + avErrorText(rc);
        return false;
    }
    const AVCodec* codecType = nullptr;
    const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codecType, 0);
    if (stream < 0 || codecType == nullptr) {
        error = "no decodable audio stream";
        return false;
    }
    CodecHandle codec(avcodec_alloc_context3(codecType));
    if (!codec || avcodec_parameters_to_context(codec.get(), format->streams[stream]->codecpar) < 0 ||
        avcodec_open2(codec.get(), codecType, nullptr) < 0) {
        error = "cannot open the audio decoder";
        return false;
    }
    if (codec->sample_rate < kMinSampleRate || codec->sample_rate > kMaxSampleRate) {
        error = "unsupported sample rate " + std::to_string(codec->sample_rate) + " Hz (" + std::to_string(kMinSampleRate) +
                " to " + std::to_string(kMaxSampleRate) + " Hz are accepted)";
        return false;
    }
    Decoder decoder(codec.get(), samples, maxSeconds);
    if (!decoder.start(error)) return false;

    PacketHandle packet(av_packet_alloc());
    FrameHandle frame(av_frame_alloc());
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream) {
            // A damaged packet is skipped: the rest of the file still fingerprints.
            if (avcodec_send_packet(codec.get(), packet.get()) >= 0 && !drain(codec.get(), frame.get(), decoder, error)) {
                av_packet_unref(packet.get());
                return false;
            }
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(codec.get(), nullptr);
    // A damaged tail is dropped like a damaged packet; only the length limit still refuses the file.
    if (!drain(codec.get(), frame.get(), decoder, error) && decoder.tooLong()) return false;
    decoder.flush();
    if (samples.empty()) {
        error = "no audio decoded";
        return false;
    }
    return true;
}

}  // namespace melodex::server
