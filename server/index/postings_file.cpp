#include "server/index/postings_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "server/index/run_coding.h"

namespace melodex::server::postings_file {
namespace {

using run_coding::kField;

constexpr char kMagic[8] = {'M', 'D', 'X', 'P', 'O', 'S', 'T', 'S'};
// Version 2 folds a run of one posting into its run's first varint, version 3 packs longer runs
// (run_coding.h); files of the earlier versions are read as they are until the index's next
// rewrite.
constexpr uint32_t kVersion = 3;
constexpr uint32_t kOldestVersion = 1;
constexpr uint64_t kHeaderBytes = 64;
// Buckets hold about this many postings on average: a lookup decodes a few cache lines, and the
// directory costs a fraction of a byte per posting.
constexpr uint64_t kPostingsPerBucket = 32;
// 2^16 to 2^24 buckets. A lookup skips the runs before its hash in the bucket, so a bucket should
// stay small however large the catalogue; beyond 2^22 the pair hashes, whose lowest 10 bits are
// always zero, leave some directory entries empty (a quarter of a byte a posting).
constexpr int kMinBucketBits = 16;
constexpr int kMaxBucketBits = 24;
// No posting takes more: two varints of 24 bits, and its run's header when it is alone in it.
constexpr uint64_t kMaxBytesPerPosting = 16;
constexpr size_t kBufferBytes = size_t{1} << 20;

// Every field in the machine's byte order, as LMDB's own file beside it.
struct Header {
    char magic[8];
    uint32_t version;
    uint32_t shift;  // a hash's bucket is hash >> shift
    uint32_t width;  // bytes per directory entry: 4, or 8 for records beyond 4 GB
    uint32_t unused;
    uint64_t buckets;
    uint64_t count;  // postings
    uint64_t recordsAt;
    uint64_t recordBytes;
    uint8_t padding[8];
};
static_assert(sizeof(Header) == kHeaderBytes);

uint64_t recordsOffset(uint64_t buckets, uint32_t width) {
    return (kHeaderBytes + (buckets + 1) * width + 7) / 8 * 8;
}

int bucketBitsFor(uint64_t capacity) {
    int bits = kMinBucketBits;
    while (bits < kMaxBucketBits && (uint64_t{1} << bits) * kPostingsPerBucket < capacity) ++bits;
    return bits;
}

run_coding::Form formOf(uint32_t version) {
    return version == 1 ? run_coding::Form::Counted : version == 2 ? run_coding::Form::Folded : run_coding::Form::Packed;
}

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

Reader::~Reader() {
    if (base_) munmap(base_, length_);
}

bool Reader::open(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = systemError("cannot open the postings file", path);
        return false;
    }
    struct stat st {};
    void* base = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(kHeaderBytes))
        base = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (base == MAP_FAILED) {
        error = "cannot map the postings file " + path;
        return false;
    }
    base_ = base;
    length_ = static_cast<size_t>(st.st_size);
    Header h;
    std::memcpy(&h, base_, sizeof h);
    const bool headerOk = std::memcmp(h.magic, kMagic, sizeof kMagic) == 0 && h.version >= kOldestVersion &&
                          h.version <= kVersion && h.shift >= 32 - kMaxBucketBits && h.shift <= 32 - kMinBucketBits &&
                          (h.width == 4 || h.width == 8) && h.buckets == uint64_t{1} << (32 - h.shift) &&
                          h.recordsAt == recordsOffset(h.buckets, h.width) && h.recordsAt <= length_ &&
                          h.recordBytes == length_ - h.recordsAt;
    if (headerOk) {
        version_ = h.version;
        shift_ = static_cast<int>(h.shift);
        width_ = static_cast<int>(h.width);
        buckets_ = h.buckets;
        count_ = h.count;
        directory_ = static_cast<const uint8_t*>(base_) + kHeaderBytes;
        records_ = static_cast<const uint8_t*>(base_) + h.recordsAt;
    }
    // A directory that runs backwards or past the records would send lookups out of the file.
    bool ordered = headerOk && offset(0) == 0 && offset(buckets_) == h.recordBytes;
    for (uint64_t b = 0; ordered && b < buckets_; ++b) ordered = offset(b) <= offset(b + 1);
    if (!ordered) {
        munmap(base_, length_);
        base_ = nullptr;
        count_ = 0;
        error = "the postings file " + path + " is damaged: rebuild the index with `melodex-server reindex`";
        return false;
    }
    return true;
}

uint64_t Reader::offset(uint64_t bucket) const {
    if (width_ == 4) {
        uint32_t v;
        std::memcpy(&v, directory_ + bucket * 4, 4);
        return v;
    }
    uint64_t v;
    std::memcpy(&v, directory_ + bucket * 8, 8);
    return v;
}

bool Reader::append(uint32_t hash, size_t limit, std::vector<Posting>& out) const {
    if (!base_) return true;
    const uint64_t bucket = hash >> shift_;
    run_coding::RunCursor runs = cursor(bucket);
    if (runs.seek(hash & ((uint32_t{1} << shift_) - 1)) != run_coding::RunCursor::Seek::Found) return true;
    if (runs.count() > limit) return false;
    runs.decode(out);
    return true;
}

bool Reader::outdated() const { return base_ && version_ < kVersion; }

run_coding::RunCursor Reader::cursor(uint64_t bucket) const {
    return run_coding::RunCursor(bucketStart(bucket), bucketStart(bucket + 1), formOf(version_),
                                 static_cast<const uint8_t*>(base_) + length_);
}

bool Reader::Walk::next(Entry& out) {
    while (taken_ == run_.size()) {
        run_.clear();
        taken_ = 0;
        const run_coding::RunCursor::Seek seek = runs_.next();
        if (seek == run_coding::RunCursor::Seek::Damaged || (seek == run_coding::RunCursor::Seek::Found && !runs_.decode(run_)))
            return !(damaged_ = true);
        if (seek == run_coding::RunCursor::Seek::Absent) {
            if (bucket_ >= file_.buckets_) return false;
            runs_ = file_.cursor(bucket_++);
        }
    }
    const Posting& p = run_[taken_++];
    out = {static_cast<uint32_t>((bucket_ - 1) << file_.shift_) | runs_.low(), p.track, p.frame};
    return true;
}

Writer::~Writer() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

bool Writer::open(const std::string& path, uint64_t capacity, std::string& error) {
    path_ = path;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = systemError("cannot create the postings file", path);
        return false;
    }
    shift_ = 32 - bucketBitsFor(capacity);
    buckets_ = uint64_t{1} << (32 - shift_);
    width_ = capacity * kMaxBytesPerPosting < (uint64_t{1} << 32) ? 4 : 8;
    recordsAt_ = recordsOffset(buckets_, width_);
    directory_.assign(buckets_ + 1, 0);
    buffer_.reserve(kBufferBytes + 64);
    return true;
}

bool Writer::add(const Entry& e, std::string& error) {
    if (inRun_ && e.hash != runHash_ && !endRun(error)) return false;
    if (!inRun_) {
        inRun_ = true;
        runHash_ = e.hash;
        run_.clear();
    }
    run_.push_back({e.track & kField, e.frame & kField});
    ++count_;
    return true;
}

// Codes the gathered run at the end of its bucket, after the buckets before it.
bool Writer::endRun(std::string& error) {
    const uint64_t bucket = runHash_ >> shift_;
    const uint32_t low = runHash_ & ((uint32_t{1} << shift_) - 1);
    if (bucket != lastBucket_ || written_ == 0) lastLow_ = 0;
    for (uint64_t b = lastBucket_ + 1; b <= bucket; ++b) directory_[b] = written_;
    lastBucket_ = bucket;
    const size_t before = buffer_.size();
    run_coding::appendRun(buffer_, low - lastLow_, run_.data(), run_.size());
    written_ += buffer_.size() - before;
    lastLow_ = low;
    inRun_ = false;
    return buffer_.size() < kBufferBytes || flush(error);
}

bool Writer::flush(std::string& error) {
    const uint64_t first = written_ - buffer_.size();
    const bool ok = writeAt(buffer_.data(), buffer_.size(), recordsAt_ + first, error);
    buffer_.clear();
    return ok;
}

bool Writer::writeAt(const void* data, size_t size, uint64_t at, std::string& error) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = pwrite(fd_, p, size, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = systemError("cannot write the postings file", path_);
            return false;
        }
        p += n;
        at += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool Writer::finish(std::string& error) {
    if (inRun_ && !endRun(error)) return false;
    if (!flush(error)) return false;
    for (uint64_t b = lastBucket_ + 1; b <= buckets_; ++b) directory_[b] = written_;
    std::vector<uint8_t> directory((buckets_ + 1) * width_);
    for (uint64_t b = 0; b <= buckets_; ++b) {
        if (width_ == 4) {
            const auto v = static_cast<uint32_t>(directory_[b]);
            std::memcpy(directory.data() + b * 4, &v, 4);
        } else {
            std::memcpy(directory.data() + b * 8, &directory_[b], 8);
        }
    }
    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.shift = static_cast<uint32_t>(shift_);
    h.width = static_cast<uint32_t>(width_);
    h.buckets = buckets_;
    h.count = count_;
    h.recordsAt = recordsAt_;
    h.recordBytes = written_;
    if (!writeAt(directory.data(), directory.size(), kHeaderBytes, error) || !writeAt(&h, sizeof h, 0, error))
        return false;
    // A file with no records ends at the directory; its length must still say where they begin.
    if (ftruncate(fd_, static_cast<off_t>(recordsAt_ + written_)) != 0 || fsync(fd_) != 0) {
        error = systemError("cannot write the postings file", path_);
        return false;
    }
    ::close(fd_);
    fd_ = -1;
    return true;
}

}  // namespace melodex::server::postings_file
