#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "server/fingerprint/ffmpeg_handles.h"

namespace melodex::server {

// What an input names: a file, standard input ("-"), an http:// or https:// stream (a radio
// stream, an HLS playlist) or a capture device ("pulse:SOURCE", "alsa:DEVICE"; an empty name is
// the default one).
enum class InputKind { File, StandardInput, Stream, Device };
InputKind inputKind(const std::string& input);
// Streams and devices play in real time and may drop; files and pipes end.
inline bool isLive(InputKind kind) { return kind == InputKind::Stream || kind == InputKind::Device; }

enum class ReadResult { Audio, End, Failed };

// Any input FFmpeg reads, decoded a piece at a time straight to mono float samples at the
// fingerprint rate. A live input that stays silent for `timeoutSeconds` (while connecting or
// while playing) fails with a reason instead of hanging.
class AudioInput {
public:
    AudioInput() = default;
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    bool open(const std::string& input, double timeoutSeconds, std::string& error);
    // Appends the next decoded samples to `out`. A damaged packet is skipped, and so is a damaged
    // tail: the rest of the file still decodes.
    ReadResult read(std::vector<float>& out, std::string& error);
    // The input's length as its container states it; 0 when unknown (streams, pipes).
    double durationSeconds() const;

private:
    bool openDecoder(std::string& error);
    bool convert(const AVFrame* frame, std::vector<float>& out, std::string& error);
    bool drainFrames(std::vector<float>& out, std::string& error);
    void flushResampler(std::vector<float>& out);
    bool timedOut() const { return std::chrono::steady_clock::now() > deadline_; }
    void armDeadline();

    InputKind kind_ = InputKind::File;
    double timeoutSeconds_ = 0;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
    FormatHandle format_;
    CodecHandle codec_;
    SwrHandle swr_;
    PacketHandle packet_;
    FrameHandle frame_;
    int stream_ = -1;
    bool ended_ = false;
};

}  // namespace melodex::server
