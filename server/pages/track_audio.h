#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "server/http/message.h"
#include "server/pages/byte_range.h"

namespace melodex::server {

// How a track's audio reaches a browser: its own file where browsers play the format (MP3,
// AAC, Ogg Vorbis or Opus, FLAC), else converted on the fly to a constant-bit-rate MP3.
struct TrackAudio {
    bool direct = false;
    std::string contentType;
    double duration = 0;  // seconds
    uint64_t length = 0;  // bytes: the file's, or the whole conversion's
};

bool probeTrackAudio(const std::string& path, TrackAudio& out, std::string& error);

// The bytes `range` of the file, read a piece at a time.
std::shared_ptr<BodySource> fileBytes(const std::string& path, const ByteRange& range, std::string& error);

// The bytes `range` of the track converted to MP3 at 128 kbit/s. The conversion's length is
// fixed by the duration (16000 bytes a second), so a browser can ask for any part of it as for
// a file: the part is encoded from the time its first byte stands for, and cut or padded to the
// bytes asked. An MP3 decoder finds the next frame wherever a part begins.
std::shared_ptr<BodySource> convertedBytes(const std::string& path, const ByteRange& range, std::string& error);

}  // namespace melodex::server
