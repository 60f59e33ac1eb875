#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "server/fingerprint/ffmpeg_handles.h"

namespace melodex::server {

// One of FFmpeg's audio encoders fed planar float frames of its own frame size.
class AudioEncoder {
public:
    // `bitRate` > 0: constant bit rate; otherwise `quality` on the encoder's own scale (VBR).
    bool open(const char* name, int rate, int channels, int64_t bitRate, double quality, std::string& error);
    AVCodecContext* context() const { return codec_.get(); }
    int frameSize() const { return frameSize_; }
    // A frame with buffers for frameSize() samples for the caller to fill (null when out of
    // memory); the encoder may still hold the previous one, which is then left to it.
    AVFrame* nextFrame();
    // Encodes `frame` (null: flushes the encoder at the end) and hands every packet out.
    bool encode(AVFrame* frame, const std::function<bool(AVPacket*)>& sink, std::string& error);

private:
    CodecHandle codec_;
    FrameHandle frame_;
    PacketHandle packet_{av_packet_alloc()};
    int frameSize_ = 0;
    int64_t nextPts_ = 0;
};

}  // namespace melodex::server
