#include "server/fingerprint/audio_input.h"

#include <cstdio>
#include <mutex>

#include "server/fingerprint/pcm_audio.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/channel_layout.h>
}

namespace melodex::server {
namespace {

constexpr int kFlushCapacity = 4096;

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g s", seconds);
    return text;
}

std::string devicePrefix(const std::string& input) {
    for (const char* prefix : {"pulse:", "alsa:"})
        if (input.rfind(prefix, 0) == 0) return std::string(prefix, std::char_traits<char>::length(prefix) - 1);
    return {};
}

}  // namespace

InputKind inputKind(const std::string& input) {
    if (input == "-") return InputKind::StandardInput;
    if (input.rfind("http://", 0) == 0 || input.rfind("https://", 0) == 0) return InputKind::Stream;
    if (!devicePrefix(input).empty()) return InputKind::Device;
    return InputKind::File;
}

void AudioInput::armDeadline() {
    if (isLive(kind_) && timeoutSeconds_ > 0)
        deadline_ = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(timeoutSeconds_));
}

bool AudioInput::open(const std::string& input, double timeoutSeconds, std::string& error) {
    quietFfmpeg();
    static std::once_flag devices;
    std::call_once(devices, [] { avdevice_register_all(); });
    kind_ = inputKind(input);
    timeoutSeconds_ = timeoutSeconds;
    std::string url = input;
    const AVInputFormat* format = nullptr;
    if (kind_ == InputKind::StandardInput) url = "pipe:0";
    if (kind_ == InputKind::Device) {
        const std::string driver = devicePrefix(input);
        format = av_find_input_format(driver.c_str());
        if (format == nullptr) {
            error = "this build of FFmpeg cannot capture from " + driver + " devices";
            return false;
        }
        url = input.substr(driver.size() + 1);
        if (url.empty()) url = "default";
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) {
        error = "out of memory";
        return false;
    }
    // FFmpeg asks this while it waits for a network or a device, so no silent peer can hang us.
    raw->interrupt_callback.callback = [](void* self) { return static_cast<AudioInput*>(self)->timedOut() ? 1 : 0; };
    raw->interrupt_callback.opaque = this;
    armDeadline();
    int rc = avformat_open_input(&raw, url.c_str(), format, nullptr);
    if (rc < 0) {
        if (timedOut()) error = "no answer within " + secondsText(timeoutSeconds_);
        else if (kind_ == InputKind::Device)
            error = "cannot open the " + devicePrefix(input) + " source " + url + ": " + avErrorText(rc) +
                    " (is the sound server running, and is that one of its sources?)";
        else error = "cannot open: " + avErrorText(rc);
        return false;
    }
    format_.reset(raw);
    if ((rc = avformat_find_stream_info(format_.get(), nullptr)) < 0) {
        error = "cannot read stream info: " + avErrorText(rc);
        return false;
    }
    return openDecoder(error);
}

bool AudioInput::openDecoder(std::string& error) {
    const AVCodec* codecType = nullptr;
    stream_ = av_find_best_stream(format_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codecType, 0);
    if (stream_ < 0 || codecType == nullptr) {
        error = "no decodable audio stream";
        return false;
    }
    codec_.reset(avcodec_alloc_context3(codecType));
    if (!codec_ || avcodec_parameters_to_context(codec_.get(), format_->streams[stream_]->codecpar) < 0 ||
        avcodec_open2(codec_.get(), codecType, nullptr) < 0) {
        error = "cannot open the audio decoder";
        return false;
    }
    if (codec_->sample_rate < kMinSampleRate || codec_->sample_rate > kMaxSampleRate) {
        error = "unsupported sample rate " + std::to_string(codec_->sample_rate) + " Hz (" + std::to_string(kMinSampleRate) +
                " to " + std::to_string(kMaxSampleRate) + " Hz are accepted)";
        return false;
    }
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    AVChannelLayout inLayout;
    if (codec_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || codec_->ch_layout.nb_channels == 0)
        av_channel_layout_default(&inLayout, codec_->ch_layout.nb_channels > 0 ? codec_->ch_layout.nb_channels : 1);
    else
        av_channel_layout_copy(&inLayout, &codec_->ch_layout);
    SwrContext* swr = nullptr;
    const int rc = swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_FLT, kFingerprintRate, &inLayout, codec_->sample_fmt,
                                       codec_->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    swr_.reset(swr);
    if (rc < 0 || swr_init(swr_.get()) < 0) {
        error = "cannot set up the resampler";
        return false;
    }
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    return true;
}

double AudioInput::durationSeconds() const {
    return format_ && format_->duration > 0 ? static_cast<double>(format_->duration) / AV_TIME_BASE : 0.0;
}

bool AudioInput::convert(const AVFrame* frame, std::vector<float>& out, std::string& error) {
    const int capacity = swr_get_out_samples(swr_.get(), frame->nb_samples) + 32;
    if (capacity < 0) {
        error = "decoding failed";
        return false;
    }
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(capacity));
    uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(out.data() + at)};
    const int n = swr_convert(swr_.get(), dst, capacity, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    out.resize(at + static_cast<size_t>(n > 0 ? n : 0));
    if (n < 0) error = "decoding failed";
    return n >= 0;
}

bool AudioInput::drainFrames(std::vector<float>& out, std::string& error) {
    while (true) {
        const int rc = avcodec_receive_frame(codec_.get(), frame_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) {
            error = "decoding failed";
            return false;
        }
        const bool ok = convert(frame_.get(), out, error);
        av_frame_unref(frame_.get());
        if (!ok) return false;
    }
}

void AudioInput::flushResampler(std::vector<float>& out) {
    const size_t at = out.size();
    out.resize(at + kFlushCapacity);
    uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(out.data() + at)};
    const int n = swr_convert(swr_.get(), dst, kFlushCapacity, nullptr, 0);
    out.resize(at + static_cast<size_t>(n > 0 ? n : 0));
}

ReadResult AudioInput::read(std::vector<float>& out, std::string& error) {
    if (ended_) return ReadResult::End;
    const size_t before = out.size();
    while (out.size() == before) {
        armDeadline();
        const int rc = av_read_frame(format_.get(), packet_.get());
        if (rc < 0) {
            if (timedOut()) {
                error = "no audio for " + secondsText(timeoutSeconds_);
                return ReadResult::Failed;
            }
            if (isLive(kind_) && rc != AVERROR_EOF) {
                error = avErrorText(rc);
                return ReadResult::Failed;
            }
            // The decoder's last frames; a damaged tail is dropped like a damaged packet.
            avcodec_send_packet(codec_.get(), nullptr);
            std::string ignored;
            drainFrames(out, ignored);
            flushResampler(out);
            ended_ = true;
            return out.size() > before ? ReadResult::Audio : ReadResult::End;
        }
        const bool ours = packet_->stream_index == stream_;
        const bool sent = ours && avcodec_send_packet(codec_.get(), packet_.get()) >= 0;
        av_packet_unref(packet_.get());
        if (sent && !drainFrames(out, error)) return ReadResult::Failed;
    }
    return ReadResult::Audio;
}

}  // namespace melodex::server
