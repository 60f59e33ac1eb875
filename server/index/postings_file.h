#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/index/index.h"
#include "server/index/run_coding.h"

// The embedded index's postings as a read-only file addressed by hash: a directory of byte
// offsets indexed by the hash's top bits (a bucket), then each bucket's postings, sorted by hash,
// track and frame and coded compactly. A lookup reads one directory entry and decodes one
// bucket of a few dozen postings, where a B-tree descends through several pages. Written whole
// by the index's dense rewrite, never changed after: postings added since live in LMDB beside
// it. A bucket's runs are coded as run_coding.h says.
namespace melodex::server::postings_file {

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
    uint64_t size() const { return count_; }
    uint64_t bytes() const { return length_; }
    // Appends the postings of `hash` to `out`, ascending by track and frame. A hash with more than
    // `limit` is left out without decoding them (false).
    bool append(uint32_t hash, size_t limit, std::vector<Posting>& out) const;
    // A lookup waits on memory twice, for the directory entry and for the bucket. A caller that
    // knows its next hashes asks for their entries, then their buckets, to be fetched meanwhile.
    void prefetchDirectory(uint32_t hash) const {
        if (base_) __builtin_prefetch(directory_ + (uint64_t{hash} >> shift_) * width_);
    }
    // The bucket's first lines, which a lookup reads from its start on: a bucket with a common
    // pair hash's run of a hundred postings and more spans several.
    static constexpr ptrdiff_t kPrefetchedBytes = 512;
    void prefetchBucket(uint32_t hash) const {
        if (!base_) return;
        const uint64_t bucket = hash >> shift_;
        const uint8_t* at = records_ + offset(bucket);
        const uint8_t* end = std::min(records_ + offset(bucket + 1), at + kPrefetchedBytes);
        for (; at < end; at += 64) __builtin_prefetch(at);
    }

    // Every posting in order, for merging into the next file.
    class Walk {
    public:
        explicit Walk(const Reader& file) : file_(file), runs_(nullptr, nullptr, run_coding::Form::Folded) {}
        // False at the end, or where a bucket cannot be decoded (then damaged()).
        bool next(Entry& out);
        bool damaged() const { return damaged_; }

    private:
        const Reader& file_;
        uint64_t bucket_ = 0;  // the next bucket to walk
        run_coding::RunCursor runs_;
        std::vector<Posting> run_;  // the current run, decoded
        size_t taken_ = 0;
        bool damaged_ = false;
    };
    // Whether the file was written in an earlier version, which a rewrite would bring up to date.
    bool outdated() const;

private:
    uint64_t offset(uint64_t bucket) const;
    run_coding::RunCursor cursor(uint64_t bucket) const;
    // The bucket's bytes; empty when there is no file.
    const uint8_t* bucketStart(uint64_t bucket) const { return records_ + offset(bucket); }

    void* base_ = nullptr;
    size_t length_ = 0;
    uint32_t version_ = 0;
    int shift_ = 0;
    int width_ = 0;
    uint64_t buckets_ = 0;
    uint64_t count_ = 0;
    const uint8_t* directory_ = nullptr;
    const uint8_t* records_ = nullptr;
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
    // Writes the last run, the directory and the header, and syncs the file.
    bool finish(std::string& error);

private:
    bool endRun(std::string& error);
    bool flush(std::string& error);
    bool writeAt(const void* data, size_t size, uint64_t at, std::string& error);

    int fd_ = -1;
    std::string path_;
    int shift_ = 0;
    int width_ = 0;
    uint64_t buckets_ = 0;
    uint64_t count_ = 0;
    uint64_t recordsAt_ = 0;
    uint64_t written_ = 0;  // record bytes written or buffered
    std::vector<uint64_t> directory_;
    std::vector<uint8_t> buffer_;
    // The run being gathered: its hash, and its postings.
    bool inRun_ = false;
    uint32_t runHash_ = 0;
    uint32_t lastLow_ = 0;
    uint64_t lastBucket_ = 0;
    std::vector<Posting> run_;
};

}  // namespace melodex::server::postings_file
