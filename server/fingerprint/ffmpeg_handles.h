#pragma once

#include <memory>
#include <mutex>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

namespace melodex::server {

// Owning handles for the FFmpeg objects that decoding, excerpting and conversion hold.
struct FormatInputClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct AvFrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AvPacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwrContextFree {
    void operator()(SwrContext* c) const { swr_free(&c); }
};
struct AudioFifoFree {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

using FormatHandle = std::unique_ptr<AVFormatContext, FormatInputClose>;
using CodecHandle = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FrameHandle = std::unique_ptr<AVFrame, AvFrameFree>;
using PacketHandle = std::unique_ptr<AVPacket, AvPacketFree>;
using SwrHandle = std::unique_ptr<SwrContext, SwrContextFree>;
using FifoHandle = std::unique_ptr<AVAudioFifo, AudioFifoFree>;

// Problems come back as results: FFmpeg's own remarks on a file would only clutter the log and
// garble the indexer's progress output.
inline void quietFfmpeg() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

inline std::string avErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace melodex::server
