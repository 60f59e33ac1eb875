#include "server/pages/audio_reader.h"

#include <algorithm>
#include <cmath>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "server/fingerprint/ffmpeg_handles.h"

namespace melodex::server {
namespace {

// Decoding starts this long before the wanted time when reading sequentially, so that a codec
// that carries state across packets (an MP3's bit reservoir) is settled when the audio is kept.
constexpr double kPreRollSeconds = 0.5;

}  // namespace

struct AudioReader::Impl {
    FormatHandle format;
    CodecHandle codec;
    SwrHandle swr;
    PacketHandle packet{av_packet_alloc()};
    FrameHandle decoded{av_frame_alloc()};
    FifoHandle fifo;
    int stream = -1;
    int rate = 0;
    int channels = 0;
    double start = 0;
    bool exact = false;
    bool positioned = false;  // the first kept frame's time is known
    int64_t skip = 0;         // output samples still to drop before `start`
    bool ended = false;

    bool openFile(const std::string& path, std::string& error);
    bool decodeMore(std::string& error);
    bool drainDecoder(std::string& error);
    bool keep(const AVFrame* frame, std::string& error);
    bool flushResampler(std::string& error);
    bool resample(const uint8_t** data, int samples, std::string& error);
};

AudioReader::AudioReader() : impl_(std::make_unique<Impl>()) {}
AudioReader::~AudioReader() = default;

int AudioReader::channels() const { return impl_->channels; }
int AudioReader::rate() const { return impl_->rate; }

bool openTrackFile(const std::string& path, FormatHandle& format, int& stream, const AVCodec*& decoder,
                   std::string& error) {
    quietFfmpeg();
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        error = "cannot open the track's file: " + avErrorText(rc);
        return false;
    }
    format.reset(raw);
    if ((rc = avformat_find_stream_info(format.get(), nullptr)) < 0) {
        error = "cannot read the track's file: " + avErrorText(rc);
        return false;
    }
    decoder = nullptr;
    stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (stream < 0 || decoder == nullptr) {
        error = "the track's file holds no decodable audio";
        return false;
    }
    return true;
}

bool AudioReader::Impl::openFile(const std::string& path, std::string& error) {
    const AVCodec* decoder = nullptr;
    if (!openTrackFile(path, format, stream, decoder, error)) return false;
    codec.reset(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), format->streams[stream]->codecpar) < 0 ||
        avcodec_open2(codec.get(), decoder, nullptr) < 0) {
        error = "cannot open the track's decoder";
        return false;
    }
    return true;
}

bool AudioReader::open(const std::string& path, double startSeconds, bool exact, int rate, int channels, std::string& error) {
    Impl& m = *impl_;
    if (!m.openFile(path, error)) return false;
    const int sourceChannels = m.codec->ch_layout.nb_channels > 0 ? m.codec->ch_layout.nb_channels : 1;
    m.channels = channels > 0 ? channels : std::min(sourceChannels, 2);
    m.rate = rate;
    m.start = std::max(0.0, startSeconds);
    m.exact = exact;
    AVChannelLayout in, out;
    if (m.codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) av_channel_layout_default(&in, sourceChannels);
    else av_channel_layout_copy(&in, &m.codec->ch_layout);
    av_channel_layout_default(&out, m.channels);
    SwrContext* swr = nullptr;
    const int rc = swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_FLTP, rate, &in, m.codec->sample_fmt,
                                       m.codec->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    m.swr.reset(swr);
    m.fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, m.channels, rate));
    if (rc < 0 || swr_init(m.swr.get()) < 0 || !m.fifo || !m.packet || !m.decoded) {
        error = "cannot set up the resampler";
        return false;
    }
    if (!exact && m.start > 0) {
        const AVStream* s = m.format->streams[m.stream];
        const auto ts = static_cast<int64_t>(m.start / av_q2d(s->time_base));
        // A file that cannot seek is read from its start instead.
        if (av_seek_frame(m.format.get(), m.stream, ts, AVSEEK_FLAG_BACKWARD) >= 0) avcodec_flush_buffers(m.codec.get());
    }
    return true;
}

bool AudioReader::take(AVFrame* frame, int frames, std::string& error) {
    Impl& m = *impl_;
    while (av_audio_fifo_size(m.fifo.get()) < frames && !m.ended)
        if (!m.decodeMore(error)) return false;
    const int n = std::min(frames, av_audio_fifo_size(m.fifo.get()));
    frame->nb_samples = n > 0 ? av_audio_fifo_read(m.fifo.get(), reinterpret_cast<void**>(frame->data), n) : 0;
    return true;
}

bool AudioReader::Impl::decodeMore(std::string& error) {
    const int rc = av_read_frame(format.get(), packet.get());
    if (rc < 0) {
        // The end of the file (or a damaged tail): what is decoded so far is the audio.
        avcodec_send_packet(codec.get(), nullptr);
        if (!drainDecoder(error) || !flushResampler(error)) return false;
        ended = true;
        return true;
    }
    bool ok = true;
    if (packet->stream_index == stream) {
        const AVStream* s = format->streams[stream];
        const double end = packet->pts == AV_NOPTS_VALUE ? 0 : (packet->pts + packet->duration) * av_q2d(s->time_base);
        // Reading sequentially, packets well before the start are passed over undecoded.
        const bool early = exact && packet->pts != AV_NOPTS_VALUE && end < start - kPreRollSeconds;
        // A damaged packet is skipped, as the indexer does.
        if (!early && avcodec_send_packet(codec.get(), packet.get()) >= 0) ok = drainDecoder(error);
    }
    av_packet_unref(packet.get());
    return ok;
}

bool AudioReader::Impl::drainDecoder(std::string& error) {
    while (true) {
        const int rc = avcodec_receive_frame(codec.get(), decoded.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) return true;  // a damaged frame: the rest still plays
        const bool ok = keep(decoded.get(), error);
        av_frame_unref(decoded.get());
        if (!ok) return false;
    }
}

// Notes where the first decoded frame lies, so that what comes before the start is dropped.
bool AudioReader::Impl::keep(const AVFrame* frame, std::string& error) {
    if (!positioned) {
        const int64_t ts = frame->best_effort_timestamp;
        const double at = ts == AV_NOPTS_VALUE ? 0.0 : ts * av_q2d(format->streams[stream]->time_base);
        skip = std::max<int64_t>(0, std::llround((start - at) * rate));
        positioned = true;
    }
    return resample(const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples, error);
}

bool AudioReader::Impl::flushResampler(std::string& error) { return resample(nullptr, 0, error); }

// Resamples into the FIFO (no input: what the resampler still holds), dropping what lies
// before the start.
bool AudioReader::Impl::resample(const uint8_t** data, int samples, std::string& error) {
    const int capacity = swr_get_out_samples(swr.get(), samples) + 32;
    FrameHandle out(av_frame_alloc());
    if (out) {
        out->format = AV_SAMPLE_FMT_FLTP;
        out->nb_samples = capacity;
        av_channel_layout_default(&out->ch_layout, channels);
    }
    if (!out || capacity <= 0 || av_frame_get_buffer(out.get(), 0) < 0) {
        error = "out of memory while decoding";
        return false;
    }
    const int n = swr_convert(swr.get(), out->data, capacity, data, samples);
    if (n < 0) {
        error = "cannot resample the track";
        return false;
    }
    const int dropped = static_cast<int>(std::min<int64_t>(skip, n));
    skip -= dropped;
    if (n > dropped) {
        std::vector<void*> planes(static_cast<size_t>(channels));
        for (int c = 0; c < channels; ++c) planes[c] = out->data[c] + dropped * sizeof(float);
        if (av_audio_fifo_write(fifo.get(), planes.data(), n - dropped) < n - dropped) {
            error = "out of memory while decoding";
            return false;
        }
    }
    return true;
}

}  // namespace melodex::server
