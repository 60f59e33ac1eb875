#include <fcntl.h>
#include <lmdb.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "server/index/index.h"

namespace melodex::server {
namespace {

// Layout: the key is the hash without its low kLowBits bits; each posting is a fixed 7-byte
// duplicate value: those low bits, then the track and the frame (24 bits each, big-endian).
// Sharing a key among 2^kLowBits hashes gives every key many duplicates, which LMDB packs densely
// (a key of its own per hash would cost more than the posting itself), and the byte order still
// groups postings by hash, then by track, so a lookup or a removal is one range seek.
constexpr int kLowBits = 4;
constexpr size_t kPostingBytes = 7;
constexpr size_t kMapSize = size_t{256} << 30;

uint32_t keyOf(uint32_t hash) { return hash >> kLowBits; }
uint8_t lowOf(uint32_t hash) { return static_cast<uint8_t>(hash & ((1u << kLowBits) - 1)); }

void packPosting(uint32_t hash, uint32_t track, uint32_t frame, uint8_t* out) {
    out[0] = lowOf(hash);
    out[1] = static_cast<uint8_t>(track >> 16);
    out[2] = static_cast<uint8_t>(track >> 8);
    out[3] = static_cast<uint8_t>(track);
    out[4] = static_cast<uint8_t>(frame >> 16);
    out[5] = static_cast<uint8_t>(frame >> 8);
    out[6] = static_cast<uint8_t>(frame);
}

Posting unpackPosting(const uint8_t* p) {
    return {(uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3], (uint32_t{p[4]} << 16) | (uint32_t{p[5]} << 8) | p[6]};
}

void putVarint(std::vector<uint8_t>& out, uint32_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}

// A track's distinct hashes, sorted and delta-coded as varints: what removal needs, ~1 byte a hash.
std::vector<uint8_t> encodeHashList(std::vector<uint32_t> hashes) {
    std::sort(hashes.begin(), hashes.end());
    hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
    std::vector<uint8_t> out;
    uint32_t previous = 0;
    for (uint32_t h : hashes) {
        putVarint(out, h - previous);
        previous = h;
    }
    return out;
}

std::vector<uint32_t> decodeHashList(const uint8_t* p, size_t n) {
    std::vector<uint32_t> out;
    uint32_t value = 0;
    uint32_t delta = 0;
    int shift = 0;
    for (size_t i = 0; i < n; ++i) {
        delta |= static_cast<uint32_t>(p[i] & 0x7F) << shift;
        if (p[i] & 0x80) {
            shift += 7;
            continue;
        }
        value += delta;
        out.push_back(value);
        delta = 0;
        shift = 0;
    }
    return out;
}

class FileDescriptor {
public:
    ~FileDescriptor() { reset(-1); }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

struct EnvClose {
    void operator()(MDB_env* e) const { mdb_env_close(e); }
};

// Aborts on scope exit unless committed.
class Txn {
public:
    Txn(MDB_env* env, unsigned flags, int& rc) { rc = mdb_txn_begin(env, nullptr, flags, &txn_); }
    ~Txn() {
        if (txn_) mdb_txn_abort(txn_);
    }
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;
    MDB_txn* get() const { return txn_; }
    int commit() {
        const int rc = mdb_txn_commit(txn_);
        txn_ = nullptr;
        return rc;
    }

private:
    MDB_txn* txn_ = nullptr;
};

class Cursor {
public:
    Cursor(MDB_txn* txn, MDB_dbi dbi, int& rc) { rc = mdb_cursor_open(txn, dbi, &cursor_); }
    ~Cursor() {
        if (cursor_) mdb_cursor_close(cursor_);
    }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;
    MDB_cursor* get() const { return cursor_; }

private:
    MDB_cursor* cursor_ = nullptr;
};

bool failed(int rc, const char* what, std::string& error) {
    if (rc == MDB_SUCCESS) return false;
    error = std::string(what) + ": " + mdb_strerror(rc);
    return true;
}

class LmdbIndex final : public Index {
public:
    bool open(const std::string& dir, std::string& error) {
        dir_ = dir;
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        // Every process with the index open holds a shared lock on this file, so that a
        // compaction can tell whether anyone else still maps the old file.
        users_.reset(::open((dir + "/users.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (users_.get() < 0 || flock(users_.get(), LOCK_SH) != 0) {
            error = "cannot lock the index: " + std::string(std::strerror(errno));
            return false;
        }
        return openEnvironment(error);
    }

    bool openEnvironment(std::string& error) {
        const std::string& dir = dir_;
        MDB_env* raw = nullptr;
        if (failed(mdb_env_create(&raw), "cannot create the index environment", error)) return false;
        env_.reset(raw);
        mdb_env_set_maxdbs(env_.get(), 4);
        mdb_env_set_maxreaders(env_.get(), 512);
        mdb_env_set_mapsize(env_.get(), kMapSize);
        // NOTLS: read transactions are opened and closed per query on pool threads.
        if (failed(mdb_env_open(env_.get(), dir.c_str(), MDB_NOTLS, 0644), "cannot open the index", error))
            return false;
        int dead = 0;
        mdb_reader_check(env_.get(), &dead);
        int rc = 0;
        Txn txn(env_.get(), 0, rc);
        if (failed(rc, "cannot start a transaction", error)) return false;
        if (failed(mdb_dbi_open(txn.get(), "postings", MDB_CREATE | MDB_DUPSORT | MDB_DUPFIXED | MDB_INTEGERKEY,
                                &postings_),
                   "cannot open the postings table", error) ||
            failed(mdb_dbi_open(txn.get(), "tracks", MDB_CREATE | MDB_INTEGERKEY, &tracks_),
                   "cannot open the tracks table", error) ||
            failed(mdb_dbi_open(txn.get(), "recordings", MDB_CREATE | MDB_INTEGERKEY, &recordings_),
                   "cannot open the recordings table", error))
            return false;
        return !failed(txn.commit(), "cannot commit", error);
    }

    bool addTrack(uint32_t track, const std::vector<Landmark>& landmarks, std::string& error) override {
        if (track == 0 || track > kMaxTrackId) {
            error = "track id out of range";
            return false;
        }
        std::vector<Landmark> sorted = landmarks;
        std::sort(sorted.begin(), sorted.end(),
                  [](const Landmark& a, const Landmark& b) { return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame; });
        int rc = 0;
        Txn txn(env_.get(), 0, rc);
        if (failed(rc, "cannot start a write transaction", error)) return false;
        std::vector<uint32_t> hashes;
        hashes.reserve(sorted.size());
        for (const Landmark& l : sorted) {
            if (l.frame > kMaxFrame) continue;
            uint8_t value[kPostingBytes];
            packPosting(l.hash, track, l.frame, value);
            uint32_t k = keyOf(l.hash);
            MDB_val key{sizeof k, &k};
            MDB_val data{kPostingBytes, value};
            rc = mdb_put(txn.get(), postings_, &key, &data, MDB_NODUPDATA);
            if (rc == MDB_KEYEXIST) continue;
            if (failed(rc, "cannot store a posting", error)) return false;
            hashes.push_back(l.hash);
        }
        std::vector<uint8_t> list = encodeHashList(std::move(hashes));
        MDB_val key{sizeof track, &track};
        MDB_val data{list.size(), list.data()};
        if (failed(mdb_put(txn.get(), tracks_, &key, &data, 0), "cannot store the track", error)) return false;
        return !failed(txn.commit(), "cannot commit the track", error);
    }

    bool removeTrack(uint32_t track, std::string& error) override {
        int rc = 0;
        Txn txn(env_.get(), 0, rc);
        if (failed(rc, "cannot start a write transaction", error)) return false;
        MDB_val key{sizeof track, &track};
        MDB_val data;
        rc = mdb_get(txn.get(), tracks_, &key, &data);
        if (rc == MDB_NOTFOUND) return true;
        if (failed(rc, "cannot read the track", error)) return false;
        const std::vector<uint32_t> hashes = decodeHashList(static_cast<const uint8_t*>(data.mv_data), data.mv_size);
        Cursor cursor(txn.get(), postings_, rc);
        if (failed(rc, "cannot open a cursor", error)) return false;
        for (uint32_t hash : hashes) {
            while (true) {
                uint8_t first[kPostingBytes];
                packPosting(hash, track, 0, first);
                uint32_t key = keyOf(hash);
                MDB_val k{sizeof key, &key};
                MDB_val v{kPostingBytes, first};
                rc = mdb_cursor_get(cursor.get(), &k, &v, MDB_GET_BOTH_RANGE);
                if (rc == MDB_NOTFOUND) break;
                if (failed(rc, "cannot seek a posting", error)) return false;
                const auto* found = static_cast<const uint8_t*>(v.mv_data);
                if (found[0] != lowOf(hash) || unpackPosting(found).track != track) break;
                if (failed(mdb_cursor_del(cursor.get(), 0), "cannot delete a posting", error)) return false;
            }
        }
        if (failed(mdb_del(txn.get(), tracks_, &key, nullptr), "cannot delete the track", error)) return false;
        if (!leaveRecording(txn.get(), track, error)) return false;
        return !failed(txn.commit(), "cannot commit the removal", error);
    }

    bool hasTrack(uint32_t track, bool& present, std::string& error) override {
        int rc = 0;
        Txn txn(env_.get(), MDB_RDONLY, rc);
        if (failed(rc, "cannot start a read transaction", error)) return false;
        MDB_val key{sizeof track, &track};
        MDB_val data;
        rc = mdb_get(txn.get(), tracks_, &key, &data);
        present = rc == MDB_SUCCESS;
        return rc == MDB_SUCCESS || rc == MDB_NOTFOUND || !failed(rc, "cannot read the track", error);
    }

    bool lookup(const std::vector<uint32_t>& hashes, const Sink& sink, std::string& error, size_t maxPostings) override {
        int rc = 0;
        Txn txn(env_.get(), MDB_RDONLY, rc);
        if (failed(rc, "cannot start a read transaction", error)) return false;
        Cursor cursor(txn.get(), postings_, rc);
        if (failed(rc, "cannot open a cursor", error)) return false;
        std::vector<Posting> buffer;
        for (size_t i = 0; i < hashes.size(); ++i) {
            const uint8_t low = lowOf(hashes[i]);
            uint32_t k = keyOf(hashes[i]);
            uint8_t first[kPostingBytes] = {low, 0, 0, 0, 0, 0, 0};
            MDB_val key{sizeof k, &k};
            MDB_val data{kPostingBytes, first};
            rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_GET_BOTH_RANGE);
            if (rc == MDB_NOTFOUND) continue;
            if (failed(rc, "cannot look up a hash", error)) return false;
            buffer.clear();
            // Walk this hash's run of duplicates a page at a time. GET_MULTIPLE returns the whole
            // page the cursor is on, so values of lower hashes that share the key are skipped;
            // duplicates are sorted, so the run ends at the first higher value.
            bool tooCommon = false;
            bool runEnded = false;
            rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_GET_MULTIPLE);
            while (rc == MDB_SUCCESS && !runEnded && !tooCommon) {
                const auto* p = static_cast<const uint8_t*>(data.mv_data);
                for (size_t off = 0; off + kPostingBytes <= data.mv_size; off += kPostingBytes) {
                    if (p[off] < low) continue;
                    if (p[off] != low) {
                        runEnded = true;
                        break;
                    }
                    if (maxPostings != 0 && buffer.size() == maxPostings) {
                        tooCommon = true;
                        break;
                    }
                    buffer.push_back(unpackPosting(p + off));
                }
                if (!runEnded && !tooCommon) rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT_MULTIPLE);
            }
            if (rc != MDB_SUCCESS && rc != MDB_NOTFOUND && failed(rc, "cannot read postings", error)) return false;
            if (!buffer.empty() && !tooCommon) sink(i, buffer.data(), buffer.size());
        }
        return true;
    }

    bool setRecordings(const std::vector<TrackRecording>& changes, std::string& error) override {
        int rc = 0;
        Txn txn(env_.get(), 0, rc);
        if (failed(rc, "cannot start a write transaction", error)) return false;
        for (TrackRecording change : changes) {
            MDB_val key{sizeof change.track, &change.track};
            MDB_val data{sizeof change.recording, &change.recording};
            if (failed(mdb_put(txn.get(), recordings_, &key, &data, 0), "cannot store a recording", error)) return false;
        }
        return !failed(txn.commit(), "cannot commit the recordings", error);
    }

    bool recordings(std::vector<TrackRecording>& out, std::string& error) override {
        out.clear();
        int rc = 0;
        Txn txn(env_.get(), MDB_RDONLY, rc);
        if (failed(rc, "cannot start a read transaction", error)) return false;
        return readRecordings(txn.get(), out, error);
    }

    bool postingCount(uint64_t& out, std::string& error) override {
        int rc = 0;
        Txn txn(env_.get(), MDB_RDONLY, rc);
        if (failed(rc, "cannot start a read transaction", error)) return false;
        MDB_stat postings{};
        if (failed(mdb_stat(txn.get(), postings_, &postings), "cannot read index statistics", error)) return false;
        out = postings.ms_entries;
        return true;
    }

    bool compact(bool& done, std::string& error) override {
        done = false;
        if (flock(users_.get(), LOCK_EX | LOCK_NB) != 0) return true;  // another process has it open
        namespace fs = std::filesystem;
        const std::string copy = dir_ + "/compacting";
        std::error_code ec;
        fs::remove_all(copy, ec);
        fs::create_directories(copy, ec);
        bool ok = !failed(mdb_env_copy2(env_.get(), copy.c_str(), MDB_CP_COMPACT), "cannot compact the index", error);
        if (ok) {
            env_.reset();
            fs::rename(copy + "/data.mdb", dir_ + "/data.mdb", ec);
            if (ec) {
                error = "cannot replace the index with its compacted copy: " + ec.message();
                ok = false;
            }
            // The old file stays in place when the rename failed: reopen whichever is there.
            std::string reopenError;
            if (!openEnvironment(reopenError)) {
                error = reopenError;
                ok = false;
            }
        }
        fs::remove_all(copy, ec);
        flock(users_.get(), LOCK_SH);
        done = ok;
        return ok;
    }

    bool stats(IndexStats& out, std::string& error) override {
        int rc = 0;
        Txn txn(env_.get(), MDB_RDONLY, rc);
        if (failed(rc, "cannot start a read transaction", error)) return false;
        MDB_stat postings{}, tracks{};
        if (failed(mdb_stat(txn.get(), postings_, &postings), "cannot read index statistics", error) ||
            failed(mdb_stat(txn.get(), tracks_, &tracks), "cannot read index statistics", error))
            return false;
        MDB_envinfo info{};
        mdb_env_info(env_.get(), &info);
        out.postings = postings.ms_entries;
        out.tracks = tracks.ms_entries;
        out.fileBytes = static_cast<uint64_t>(info.me_last_pgno + 1) * postings.ms_psize;
        // Pages on LMDB's free list (database 0; each record is a page list led by its length)
        // are reused by later writes.
        uint64_t freePages = 0;
        Cursor cursor(txn.get(), 0, rc);
        if (rc == MDB_SUCCESS) {
            MDB_val key, data;
            while (mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT) == MDB_SUCCESS)
                if (data.mv_size >= sizeof(size_t)) freePages += *static_cast<const size_t*>(data.mv_data);
        }
        out.bytes = out.fileBytes - std::min<uint64_t>(out.fileBytes, freePages * postings.ms_psize);
        return true;
    }

private:
    bool readRecordings(MDB_txn* txn, std::vector<TrackRecording>& out, std::string& error) {
        int rc = 0;
        Cursor cursor(txn, recordings_, rc);
        if (failed(rc, "cannot open a cursor", error)) return false;
        MDB_val key, data;
        while ((rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT)) == MDB_SUCCESS) {
            TrackRecording r;
            std::memcpy(&r.track, key.mv_data, sizeof r.track);
            std::memcpy(&r.recording, data.mv_data, sizeof r.recording);
            out.push_back(r);
        }
        return rc == MDB_NOTFOUND || !failed(rc, "cannot read the recordings", error);
    }

    // Takes a removed track out of its group: the others keep a group named after their lowest
    // id, and a member left alone is no group any more.
    bool leaveRecording(MDB_txn* txn, uint32_t track, std::string& error) {
        MDB_val key{sizeof track, &track};
        MDB_val data;
        int rc = mdb_get(txn, recordings_, &key, &data);
        if (rc == MDB_NOTFOUND) return true;
        if (failed(rc, "cannot read the recording", error)) return false;
        uint32_t recording = 0;
        std::memcpy(&recording, data.mv_data, sizeof recording);
        if (failed(mdb_del(txn, recordings_, &key, nullptr), "cannot delete the recording", error)) return false;
        std::vector<TrackRecording> all;
        if (!readRecordings(txn, all, error)) return false;
        std::vector<uint32_t> members;
        for (const TrackRecording& r : all)
            if (r.recording == recording) members.push_back(r.track);
        for (uint32_t member : members) {
            MDB_val k{sizeof member, &member};
            uint32_t name = members.front();  // ascending, so the lowest id
            MDB_val v{sizeof name, &name};
            rc = members.size() == 1 ? mdb_del(txn, recordings_, &k, nullptr) : mdb_put(txn, recordings_, &k, &v, 0);
            if (failed(rc, "cannot update a recording", error)) return false;
        }
        return true;
    }

    std::string dir_;
    FileDescriptor users_;
    std::unique_ptr<MDB_env, EnvClose> env_;
    MDB_dbi postings_ = 0;
    MDB_dbi tracks_ = 0;
    MDB_dbi recordings_ = 0;
};

}  // namespace

std::unique_ptr<Index> openLmdbIndex(const std::string& dir, std::string& error) {
    auto index = std::make_unique<LmdbIndex>();
    if (!index->open(dir, error)) return nullptr;
    return index;
}

}  // namespace melodex::server
