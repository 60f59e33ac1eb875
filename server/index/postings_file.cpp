#include "server/index/postings_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace melodex::server::postings_file {
namespace {

constexpr char kMagic[8] = {'M', 'D', 'X', 'P', 'O', 'S', 'T', 'S'};
constexpr uint32_t kVersion = 1;
constexpr uint64_t kHeaderBytes = 64;
// Buckets hold about this many postings on average: a run is then bisected within a few cache
// lines, and the directory costs a fraction of a byte per posting.
constexpr uint64_t kPostingsPerBucket = 32;
// 2^16 to 2^22 buckets: the records keep the hash's bits below the bucket in 16 bits, and the
// pair hashes, whose lowest 10 bits are always zero, get a bucket each at the most.
constexpr int kMinBucketBits = 16;
constexpr int kMaxBucketBits = 22;
constexpr size_t kBufferedRecords = size_t{1} << 16;

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t shift;   // a hash's bucket is hash >> shift
    uint32_t width;   // bytes per directory entry: 4, or 8 beyond 2^32 postings
    uint32_t unused;
    uint64_t buckets;
    uint64_t count;
    uint64_t recordsAt;
    uint8_t padding[16];
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
    const bool headerOk = std::memcmp(h.magic, kMagic, sizeof kMagic) == 0 && h.version == kVersion &&
                          h.shift >= 32 - kMaxBucketBits && h.shift <= 32 - kMinBucketBits &&
                          (h.width == 4 || h.width == 8) && h.buckets == uint64_t{1} << (32 - h.shift) &&
                          h.recordsAt == recordsOffset(h.buckets, h.width) && h.recordsAt <= length_ &&
                          (length_ - h.recordsAt) % 8 == 0 && h.count == (length_ - h.recordsAt) / 8;
    if (headerOk) {
        shift_ = static_cast<int>(h.shift);
        width_ = static_cast<int>(h.width);
        buckets_ = h.buckets;
        count_ = h.count;
        directory_ = static_cast<const uint8_t*>(base_) + kHeaderBytes;
        records_ = reinterpret_cast<const uint64_t*>(static_cast<const uint8_t*>(base_) + h.recordsAt);
    }
    // A directory that runs backwards or past the records would send lookups out of the file.
    bool ordered = headerOk && offset(0) == 0 && offset(buckets_) == count_;
    for (uint64_t b = 0; ordered && b < buckets_; ++b) ordered = offset(b) <= offset(b + 1);
    if (!ordered) {
        munmap(base_, length_);
        base_ = nullptr;
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

std::pair<const uint64_t*, const uint64_t*> Reader::run(uint32_t hash) const {
    if (!base_) return {nullptr, nullptr};
    const uint64_t bucket = hash >> shift_;
    const uint64_t low = hash & ((uint32_t{1} << shift_) - 1);
    const uint64_t* begin = records_ + offset(bucket);
    const uint64_t* end = records_ + offset(bucket + 1);
    // A pair hash has a bucket of its own: its run is the whole bucket, found without a search.
    if (begin == end || (lowOf(*begin) == low && lowOf(end[-1]) == low)) return {begin, end};
    const uint64_t* first = std::lower_bound(begin, end, low << 48);
    const uint64_t* last = low == 0xFFFF ? end : std::lower_bound(first, end, (low + 1) << 48);
    return {first, last};
}

bool Reader::Walk::next(Entry& out) {
    if (at_ >= file_.count_) return false;
    while (file_.offset(bucket_ + 1) <= at_) ++bucket_;
    const uint64_t record = file_.records_[at_++];
    const Posting p = postingOf(record);
    out = {static_cast<uint32_t>(bucket_ << file_.shift_) | lowOf(record), p.track, p.frame};
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
    recordsAt_ = recordsOffset(buckets_, capacity < (uint64_t{1} << 32) ? 4 : 8);
    directory_.assign(buckets_ + 1, 0);
    buffer_.reserve(kBufferedRecords);
    return true;
}

bool Writer::add(const Entry& e, std::string& error) {
    ++directory_[(e.hash >> shift_) + 1];
    const uint64_t low = e.hash & ((uint32_t{1} << shift_) - 1);
    buffer_.push_back(low << 48 | uint64_t{e.track & 0xFFFFFF} << 24 | (e.frame & 0xFFFFFF));
    ++count_;
    return buffer_.size() < kBufferedRecords || flush(error);
}

bool Writer::flush(std::string& error) {
    const uint64_t first = count_ - buffer_.size();
    const bool ok = writeAt(buffer_.data(), buffer_.size() * 8, recordsAt_ + first * 8, error);
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
    if (!flush(error)) return false;
    for (uint64_t b = 1; b <= buckets_; ++b) directory_[b] += directory_[b - 1];
    const uint32_t width = recordsAt_ == recordsOffset(buckets_, 4) ? 4 : 8;
    std::vector<uint8_t> directory((buckets_ + 1) * width);
    for (uint64_t b = 0; b <= buckets_; ++b) {
        if (width == 4) {
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
    h.width = width;
    h.buckets = buckets_;
    h.count = count_;
    h.recordsAt = recordsAt_;
    if (!writeAt(directory.data(), directory.size(), kHeaderBytes, error) || !writeAt(&h, sizeof h, 0, error))
        return false;
    // A file with no records ends at the directory; its length must still say where they begin.
    if (ftruncate(fd_, static_cast<off_t>(recordsAt_ + count_ * 8)) != 0 || fsync(fd_) != 0) {
        error = systemError("cannot write the postings file", path_);
        return false;
    }
    ::close(fd_);
    fd_ = -1;
    return true;
}

}  // namespace melodex::server::postings_file
