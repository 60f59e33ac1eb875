#include "server/pages/track_audio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "server/pages/audio_encoder.h"
#include "server/pages/audio_reader.h"
#include "server/fingerprint/ffmpeg_handles.h"

namespace melodex::server {
namespace {

constexpr size_t kPieceBytes = 64 * 1024;
// A conversion's first piece is smaller, so that the player starts sooner.
constexpr size_t kFirstConvertedBytes = 8 * 1024;
constexpr int kConvertedRate = 44100;
constexpr int64_t kConvertedBitRate = 128000;
constexpr double kConvertedBytesPerSecond = kConvertedBitRate / 8.0;

struct Playable {
    const char* format;  // FFmpeg's demuxer name
    AVCodecID codec;
    const char* contentType;
};
constexpr Playable kPlayable[] = {
    {"mp3", AV_CODEC_ID_MP3, "audio/mpeg"},
    {"ogg", AV_CODEC_ID_VORBIS, "audio/ogg"},
    {"ogg", AV_CODEC_ID_OPUS, "audio/ogg"},
    {"ogg", AV_CODEC_ID_FLAC, "audio/ogg"},
    {"flac", AV_CODEC_ID_FLAC, "audio/flac"},
    {"aac", AV_CODEC_ID_AAC, "audio/aac"},
    {"mov,mp4,m4a,3gp,3g2,mj2", AV_CODEC_ID_AAC, "audio/mp4"},
};

class FileBytes : public BodySource {
public:
    FileBytes(int fd, const ByteRange& range) : fd_(fd), at_(range.first), left_(range.size()) {}
    ~FileBytes() override { close(fd_); }
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    bool next(std::string& piece, bool& done, std::string& error) override {
        piece.resize(std::min<uint64_t>(kPieceBytes, left_));
        const ssize_t n = pread(fd_, piece.data(), piece.size(), static_cast<off_t>(at_));
        if (n <= 0) {
            // The file shrank or went away while it was being sent.
            error = n == 0 ? "the track's file ended early" : std::string("cannot read the track's file: ") + std::strerror(errno);
            return false;
        }
        piece.resize(static_cast<size_t>(n));
        at_ += static_cast<uint64_t>(n);
        left_ -= static_cast<uint64_t>(n);
        done = left_ == 0;
        return true;
    }

private:
    const int fd_;
    uint64_t at_;
    uint64_t left_;
};

class ConvertedBytes : public BodySource {
public:
    explicit ConvertedBytes(uint64_t length) : left_(length) {}

    bool open(const std::string& path, double startSeconds, std::string& error) {
        return reader_.open(path, startSeconds, false, kConvertedRate, 0, error) &&
               encoder_.open("libmp3lame", kConvertedRate, reader_.channels(), kConvertedBitRate, 0, error);
    }

    bool next(std::string& piece, bool& done, std::string& error) override {
        piece.clear();
        const auto keep = [&](AVPacket* packet) {
            pending_.append(reinterpret_cast<const char*>(packet->data), static_cast<size_t>(packet->size));
            return true;
        };
        while (pending_.size() < pieceBytes_ && !ended_ && pending_.size() < left_) {
            AVFrame* frame = encoder_.nextFrame();
            if (frame == nullptr || !reader_.take(frame, encoder_.frameSize(), error)) return false;
            ended_ = frame->nb_samples == 0;
            if (!encoder_.encode(ended_ ? nullptr : frame, keep, error)) return false;
        }
        // The loop leaves a whole piece unless the audio ended: a conversion that came out short
        // of the length promised is padded with bytes that hold no frame, which a decoder skips.
        const uint64_t size = std::min<uint64_t>(left_, pieceBytes_);
        pieceBytes_ = kPieceBytes;
        const size_t taken = static_cast<size_t>(std::min<uint64_t>(size, pending_.size()));
        piece.assign(pending_, 0, taken);
        piece.resize(static_cast<size_t>(size), '\0');
        pending_.erase(0, taken);
        left_ -= size;
        done = left_ == 0;
        return true;
    }

private:
    AudioReader reader_;
    AudioEncoder encoder_;
    std::string pending_;
    uint64_t left_;
    size_t pieceBytes_ = kFirstConvertedBytes;
    bool ended_ = false;
};

}  // namespace

bool probeTrackAudio(const std::string& path, TrackAudio& out, std::string& error) {
    FormatHandle format;
    int stream = -1;
    const AVCodec* decoder = nullptr;
    if (!openTrackFile(path, format, stream, decoder, error)) return false;
    const AVCodecID codec = format->streams[stream]->codecpar->codec_id;
    out = TrackAudio{};
    out.duration = format->duration > 0 ? static_cast<double>(format->duration) / AV_TIME_BASE : 0.0;
    for (const Playable& p : kPlayable)
        if (std::strcmp(format->iformat->name, p.format) == 0 && codec == p.codec) {
            out.direct = true;
            out.contentType = p.contentType;
        }
    if (out.direct) {
        struct stat info{};
        if (stat(path.c_str(), &info) != 0) {
            error = "cannot read the track's file";
            return false;
        }
        out.length = static_cast<uint64_t>(info.st_size);
    } else {
        out.contentType = "audio/mpeg";
        out.length = static_cast<uint64_t>(std::ceil(out.duration * kConvertedBytesPerSecond));
    }
    if (out.length == 0) {
        error = "the track's file is empty";
        return false;
    }
    return true;
}

std::shared_ptr<BodySource> fileBytes(const std::string& path, const ByteRange& range, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot open the track's file: ") + std::strerror(errno);
        return nullptr;
    }
    return std::make_shared<FileBytes>(fd, range);
}

std::shared_ptr<BodySource> convertedBytes(const std::string& path, const ByteRange& range, std::string& error) {
    auto source = std::make_shared<ConvertedBytes>(range.size());
    if (!source->open(path, static_cast<double>(range.first) / kConvertedBytesPerSecond, error)) return nullptr;
    return source;
}

}  // namespace melodex::server
