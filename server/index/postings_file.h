#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "server/index/index.h"

// The embedded index's postings as a read-only file addressed by hash: a directory of record
// offsets indexed by the hash's top bits (a bucket), then every posting as one 8-byte record
// sorted by hash, track and frame. A lookup reads one directory entry and bisects one short run,
// where a B-tree descends through several pages; the records carry only the hash's bits below
// the bucket. Written whole by the index's dense rewrite, never changed after: postings added
// since live in LMDB beside it.
namespace melodex::server::postings_file {

// A record: the hash's low bits (16), the track and the frame (24 bits each).
inline uint32_t lowOf(uint64_t record) { return static_cast<uint32_t>(record >> 48); }
inline Posting postingOf(uint64_t record) {
    return {static_cast<uint32_t>(record >> 24) & 0xFFFFFF, static_cast<uint32_t>(record) & 0xFFFFFF};
}

// A posting with its hash, in the order the file keeps them.
struct Entry {
    uint32_t hash = 0;
    uint32_t track = 0;
    uint32_t frame = 0;
    bool operator<(const Entry& o) const {
        return hash != o.hash ? hash < o.hash : track != o.track ? track < o.track : frame < o.frame;
    }
    bool operator==(const Entry& o) const { return hash == o.hash && track == o.track && frame == o.frame; }
};

class Reader {
public:
    Reader() = default;
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Maps the file; false with a message when it cannot be read or is not a whole postings file.
    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return base_ != nullptr; }
    uint64_t size() const { return count_; }
    uint64_t bytes() const { return length_; }
    // The records of `hash`, ascending by track and frame.
    std::pair<const uint64_t*, const uint64_t*> run(uint32_t hash) const;

    // Every posting in order, for merging into the next file.
    class Walk {
    public:
        explicit Walk(const Reader& file) : file_(file) {}
        bool next(Entry& out);

    private:
        const Reader& file_;
        uint64_t at_ = 0;
        uint64_t bucket_ = 0;
    };

private:
    uint64_t offset(uint64_t bucket) const;

    void* base_ = nullptr;
    size_t length_ = 0;
    int shift_ = 0;
    int width_ = 0;
    uint64_t buckets_ = 0;
    uint64_t count_ = 0;
    const uint8_t* directory_ = nullptr;
    const uint64_t* records_ = nullptr;
};

// Writes a file from postings given in ascending order, each once.
class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // `capacity`: at least the number of postings to come; it sizes the directory.
    bool open(const std::string& path, uint64_t capacity, std::string& error);
    bool add(const Entry& entry, std::string& error);
    // Writes the directory and the header and syncs the file.
    bool finish(std::string& error);

private:
    bool flush(std::string& error);
    bool writeAt(const void* data, size_t size, uint64_t at, std::string& error);

    int fd_ = -1;
    std::string path_;
    int shift_ = 0;
    uint64_t buckets_ = 0;
    uint64_t count_ = 0;
    uint64_t recordsAt_ = 0;
    std::vector<uint64_t> directory_;
    std::vector<uint64_t> buffer_;
};

}  // namespace melodex::server::postings_file
