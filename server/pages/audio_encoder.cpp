#include "server/pages/audio_encoder.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace melodex::server {
namespace {

// Used when the encoder takes frames of any size.
constexpr int kDefaultFrameSize = 1024;

}  // namespace

bool AudioEncoder::open(const char* name, int rate, int channels, int64_t bitRate, double quality, std::string& error) {
    const AVCodec* encoder = avcodec_find_encoder_by_name(name);
    if (encoder == nullptr) {
        error = std::string("FFmpeg has no ") + name + " encoder here";
        return false;
    }
    codec_.reset(avcodec_alloc_context3(encoder));
    if (!codec_ || !packet_) {
        error = "out of memory";
        return false;
    }
    codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    codec_->sample_rate = rate;
    codec_->time_base = AVRational{1, rate};
    av_channel_layout_default(&codec_->ch_layout, channels);
    if (bitRate > 0) {
        codec_->bit_rate = bitRate;
    } else {
        codec_->flags |= AV_CODEC_FLAG_QSCALE;
        codec_->global_quality = static_cast<int>(quality * FF_QP2LAMBDA);
    }
    const int rc = avcodec_open2(codec_.get(), encoder, nullptr);
    if (rc < 0) {
        error = std::string("cannot open the ") + name + " encoder: " + avErrorText(rc);
        return false;
    }
    frameSize_ = codec_->frame_size > 0 ? codec_->frame_size : kDefaultFrameSize;
    frame_.reset(av_frame_alloc());
    if (frame_) {
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->nb_samples = frameSize_;
        frame_->sample_rate = rate;
        av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout);
    }
    if (!frame_ || av_frame_get_buffer(frame_.get(), 0) < 0) {
        error = "out of memory";
        return false;
    }
    return true;
}

AVFrame* AudioEncoder::nextFrame() {
    if (av_frame_make_writable(frame_.get()) < 0) return nullptr;
    frame_->nb_samples = frameSize_;
    return frame_.get();
}

bool AudioEncoder::encode(AVFrame* frame, const std::function<bool(AVPacket*)>& sink, std::string& error) {
    if (frame != nullptr) {
        frame->pts = nextPts_;
        nextPts_ += frame->nb_samples;
    }
    if (avcodec_send_frame(codec_.get(), frame) < 0) {
        error = "the encoder refused the audio";
        return false;
    }
    while (true) {
        const int rc = avcodec_receive_packet(codec_.get(), packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) {
            error = "encoding failed: " + avErrorText(rc);
            return false;
        }
        const bool ok = sink(packet_.get());
        av_packet_unref(packet_.get());
        if (!ok) {
            error = "cannot write the encoded audio";
            return false;
        }
    }
}

}  // namespace melodex::server
