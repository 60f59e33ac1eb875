#pragma once

#include <memory>
#include <string>

#include "server/fingerprint/ffmpeg_handles.h"

namespace melodex::server {

// Opens a catalogue file with FFmpeg and finds its audio stream and that stream's decoder.
bool openTrackFile(const std::string& path, FormatHandle& format, int& stream, const AVCodec*& decoder,
                   std::string& error);

// A catalogue file's audio from a chosen time on, decoded with FFmpeg and delivered as planar
// float frames at a chosen rate, for the ringtone and the converted streams.
class AudioReader {
public:
    AudioReader();
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    // Opens `path` at `startSeconds`. `exact` reads the file from its start and trims to the
    // sample (an MP3's seek is an estimate); otherwise the demuxer seeks, which is near enough for
    // a player. `channels` 0 keeps the source's, at most two.
    bool open(const std::string& path, double startSeconds, bool exact, int rate, int channels, std::string& error);
    int channels() const;
    int rate() const;
    // Fills `frame` (planar float, buffers for `frames` samples allocated by the caller) with up
    // to `frames` samples; fewer only at the end, none once it has passed.
    bool take(AVFrame* frame, int frames, std::string& error);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace melodex::server
