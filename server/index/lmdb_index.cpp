#include <fcntl.h>
#include <lmdb.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

#include "server/index/index.h"
#include "server/index/lmdb_dense_copy.h"
#include "server/index/lmdb_layout.h"
#include "server/index/postings_file.h"

namespace melodex::server {
namespace {

using namespace lmdb;

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

// Holds the users lock exclusively, when no other process has the index open, until it goes.
class SoleUser {
public:
    explicit SoleUser(int fd) : fd_(fd), held_(flock(fd, LOCK_EX | LOCK_NB) == 0) {}
    ~SoleUser() {
        if (held_) flock(fd_, LOCK_SH);
    }
    SoleUser(const SoleUser&) = delete;
    SoleUser& operator=(const SoleUser&) = delete;
    bool held() const { return held_; }

private:
    int fd_;
    bool held_;
};

// Byte offset in a page of sorted postings (GET_MULTIPLE's block) of the first one whose hash is
// at least `low`.
size_t runStart(const MDB_val& page, uint32_t low) {
    const auto* p = static_cast<const uint8_t*>(page.mv_data);
    size_t lo = 0, hi = page.mv_size / kPostingBytes;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (lowOfPosting(p + mid * kPostingBytes) < low)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo * kPostingBytes;
}

// How many hashes ahead a lookup has the postings file's directory entries, then buckets, fetched.
constexpr size_t kDirectoryAhead = 16;
constexpr size_t kBucketAhead = 8;

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
        file_ = std::make_unique<postings_file::Reader>();
        MDB_env* raw = nullptr;
        if (failed(mdb_env_create(&raw), "cannot create the index environment", error)) return false;
        env_.reset(raw);
        mdb_env_set_maxdbs(env_.get(), kMaxTables);
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
        MDB_dbi postings = 0;
        const bool existed = mdb_dbi_open(txn.get(), "postings", 0, &postings) == MDB_SUCCESS;
        if (existed && formatOf(txn.get()) != kIndexFormat) {
            error = kRebuildAdvice;
            return false;
        }
        if (!openTables(txn.get(), tables_, error) || (!existed && !writeMeta(txn.get(), tables_, "", error))) return false;
        postingsName_ = metaValue(txn.get(), kPostingsFileKey);
        if (!postingsName_.empty() && !file_->open(dir_ + "/" + postingsName_, error)) return false;
        return !failed(txn.commit(), "cannot commit", error);
    }

    bool addTrack(uint32_t track, const Fingerprint& print, std::string& error) override {
        int rc = 0;
        Txn txn(env_.get(), 0, rc);
        if (failed(rc, "cannot start a write transaction", error)) return false;
        return putTrack(txn.get(), track, print, error) && !failed(txn.commit(), "cannot commit the track", error);
    }

    bool removeTrack(uint32_t track, std::string& error) override {
        int rc = 0;
        Txn txn(env_.get(), 0, rc);
        if (failed(rc, "cannot start a write transaction", error)) return false;
        MDB_val key{sizeof track, &track};
        MDB_val data;
        rc = mdb_get(txn.get(), tables_.tracks, &key, &data);
        if (rc == MDB_NOTFOUND) return true;
        if (failed(rc, "cannot read the track", error)) return false;
        const std::vector<uint32_t> hashes = decodeHashList(static_cast<const uint8_t*>(data.mv_data), data.mv_size);
        Cursor cursor(txn.get(), tables_.postings, rc);
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
                if (lowOfPosting(found) != lowOf(hash) || unpackPosting(found).track != track) break;
                if (failed(mdb_cursor_del(cursor.get(), 0), "cannot delete a posting", error)) return false;
            }
        }
        if (failed(mdb_del(txn.get(), tables_.tracks, &key, nullptr), "cannot delete the track", error)) return false;
        // The postings file cannot change: its postings of the track are hidden until the next
        // dense rewrite leaves them out.
        MDB_val none{0, nullptr};
        if (file_->size() > 0 && failed(mdb_put(txn.get(), tables_.hidden, &key, &none, 0), "cannot hide the track", error))
            return false;
        rc = mdb_del(txn.get(), tables_.signatures, &key, nullptr);
        if (rc != MDB_NOTFOUND && failed(rc, "cannot delete the signature", error)) return false;
        if (!leaveRecording(txn.get(), track, error)) return false;
        return !failed(txn.commit(), "cannot commit the removal", error);
    }

    bool hasTrack(uint32_t track, bool& present, std::string& error) override {
        int rc = 0;
        Txn txn(env_.get(), MDB_RDONLY, rc);
        if (failed(rc, "cannot start a read transaction", error)) return false;
        MDB_val key{sizeof track, &track};
        MDB_val data;
        rc = mdb_get(txn.get(), tables_.tracks, &key, &data);
        present = rc == MDB_SUCCESS;
        return rc == MDB_SUCCESS || rc == MDB_NOTFOUND || !failed(rc, "cannot read the track", error);
    }

    // A hash's postings are those in the postings file, but for hidden tracks', then those in
    // the postings table, added since the file was written.
    bool lookup(const std::vector<uint32_t>& hashes, const Sink& sink, std::string& error, size_t maxPostings) override {
        int rc = 0;
        Txn txn(env_.get(), MDB_RDONLY, rc);
        if (failed(rc, "cannot start a read transaction", error)) return false;
        Cursor cursor(txn.get(), tables_.postings, rc);
        if (failed(rc, "cannot open a cursor", error)) return false;
        MDB_stat table{};
        std::vector<uint32_t> hidden;
        if (failed(mdb_stat(txn.get(), tables_.postings, &table), "cannot read index statistics", error) ||
            !readTrackIds(txn.get(), tables_.hidden, hidden, error))
            return false;
        const size_t limit = maxPostings == 0 ? SIZE_MAX : maxPostings;
        std::vector<Posting> buffer;
        for (size_t i = 0; i < hashes.size(); ++i) {
            if (i + kDirectoryAhead < hashes.size()) file_->prefetchDirectory(hashes[i + kDirectoryAhead]);
            if (i + kBucketAhead < hashes.size()) file_->prefetchBucket(hashes[i + kBucketAhead]);
            buffer.clear();
            if (!file_->append(hashes[i], limit, buffer)) continue;
            if (!hidden.empty())
                buffer.erase(std::remove_if(buffer.begin(), buffer.end(), [&](const Posting& p) {
                    return std::binary_search(hidden.begin(), hidden.end(), p.track);
                }), buffer.end());
            bool tooCommon = false;
            if (table.ms_entries > 0 && !readTableRun(cursor.get(), hashes[i], limit, buffer, tooCommon, error))
                return false;
            if (!buffer.empty() && !tooCommon) sink(i, buffer.data(), buffer.size());
        }
        return true;
    }

    bool signature(uint32_t track, std::vector<uint32_t>& out, std::string& error) override {
        out.clear();
        int rc = 0;
        Txn txn(env_.get(), MDB_RDONLY, rc);
        if (failed(rc, "cannot start a read transaction", error)) return false;
        MDB_val key{sizeof track, &track};
        MDB_val data;
        rc = mdb_get(txn.get(), tables_.signatures, &key, &data);
        if (rc == MDB_NOTFOUND) return true;
        if (failed(rc, "cannot read a signature", error)) return false;
        out.resize(data.mv_size / sizeof(uint32_t));
        std::memcpy(out.data(), data.mv_data, out.size() * sizeof(uint32_t));
        return true;
    }

    bool setRecordings(const std::vector<TrackRecording>& changes, std::string& error) override {
        int rc = 0;
        Txn txn(env_.get(), 0, rc);
        if (failed(rc, "cannot start a write transaction", error)) return false;
        for (TrackRecording change : changes) {
            MDB_val key{sizeof change.track, &change.track};
            MDB_val data{sizeof change.recording, &change.recording};
            if (failed(mdb_put(txn.get(), tables_.recordings, &key, &data, 0), "cannot store a recording", error)) return false;
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
        if (failed(mdb_stat(txn.get(), tables_.postings, &postings), "cannot read index statistics", error)) return false;
        out = postings.ms_entries + file_->size();
        return true;
    }

    bool addTracks(const std::vector<TrackFingerprint>& tracks, std::string& error) override {
        SoleUser sole(users_.get());
        return sole.held() && worthRewriting(tracks) ? rebuild(tracks, error) : putBatch(tracks, error);
    }

    bool compact(bool& done, std::string& error) override {
        SoleUser sole(users_.get());
        done = sole.held() && (dense() || rebuild({}, error));
        return !sole.held() || done;
    }

    bool stats(IndexStats& out, std::string& error) override {
        int rc = 0;
        Txn txn(env_.get(), MDB_RDONLY, rc);
        if (failed(rc, "cannot start a read transaction", error)) return false;
        MDB_stat postings{}, tracks{};
        if (failed(mdb_stat(txn.get(), tables_.postings, &postings), "cannot read index statistics", error) ||
            failed(mdb_stat(txn.get(), tables_.tracks, &tracks), "cannot read index statistics", error))
            return false;
        MDB_envinfo info{};
        mdb_env_info(env_.get(), &info);
        out.postings = postings.ms_entries + file_->size();
        out.tracks = tracks.ms_entries;
        const uint64_t environmentBytes = static_cast<uint64_t>(info.me_last_pgno + 1) * postings.ms_psize;
        const uint64_t freeBytes = freePages(txn.get()) * postings.ms_psize;
        out.bytes = environmentBytes - std::min(environmentBytes, freeBytes) + file_->bytes();
        out.fileBytes = environmentBytes + file_->bytes();
        return true;
    }

    // The format stamped in an existing index; 0 for none (the layout before the stamp).
    int formatOf(MDB_txn* txn) const {
        const std::string value = metaValue(txn, kFormatKey);
        int format = 0;
        if (value.size() == sizeof format) std::memcpy(&format, value.data(), sizeof format);
        return format;
    }

private:
    // Pages on LMDB's free list (database 0; each record is a page list led by its length), which
    // later writes reuse.
    static uint64_t freePages(MDB_txn* txn) {
        uint64_t pages = 0;
        int rc = 0;
        Cursor cursor(txn, 0, rc);
        if (rc != MDB_SUCCESS) return 0;
        MDB_val key, data;
        while (mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT) == MDB_SUCCESS)
            if (data.mv_size >= sizeof(size_t)) pages += *static_cast<const size_t*>(data.mv_data);
        return pages;
    }

    // Whether a rewrite would change little: every posting in a file of the current version, none
    // hidden, and LMDB's file almost free of unused pages.
    bool dense() {
        int rc = 0;
        Txn txn(env_.get(), MDB_RDONLY, rc);
        MDB_stat tree{}, hidden{};
        MDB_envinfo info{};
        if (rc != MDB_SUCCESS || mdb_stat(txn.get(), tables_.postings, &tree) != MDB_SUCCESS ||
            mdb_stat(txn.get(), tables_.hidden, &hidden) != MDB_SUCCESS || mdb_env_info(env_.get(), &info) != MDB_SUCCESS)
            return false;
        return tree.ms_entries == 0 && hidden.ms_entries == 0 && !file_->outdated() &&
               8 * freePages(txn.get()) <= info.me_last_pgno + 1;
    }

    // Appends the hash's postings in the postings table to `buffer`; `tooCommon` when they would
    // take it past `limit`.
    static bool readTableRun(MDB_cursor* cursor, uint32_t hash, size_t limit, std::vector<Posting>& buffer,
                             bool& tooCommon, std::string& error) {
        const uint32_t low = lowOf(hash);
        uint32_t k = keyOf(hash);
        uint8_t first[kPostingBytes] = {};
        packPosting(hash, 0, 0, first);
        MDB_val key{sizeof k, &k};
        MDB_val data{kPostingBytes, first};
        int rc = mdb_cursor_get(cursor, &key, &data, MDB_GET_BOTH_RANGE);
        if (rc == MDB_NOTFOUND) return true;
        if (failed(rc, "cannot look up a hash", error)) return false;
        // The seek lands on the first posting at or above the hash: a higher one means the hash
        // is absent, as a third of a query's triplets are.
        if (lowOfPosting(static_cast<const uint8_t*>(data.mv_data)) != low) return true;
        // Walk this hash's run of duplicates a page at a time. GET_MULTIPLE returns the whole
        // page the cursor is on, so the run's start is searched for in it; duplicates are
        // sorted, so the run ends at the first higher value.
        bool runEnded = false;
        rc = mdb_cursor_get(cursor, &key, &data, MDB_GET_MULTIPLE);
        size_t start = rc == MDB_SUCCESS ? runStart(data, low) : 0;
        while (rc == MDB_SUCCESS && !runEnded && !tooCommon) {
            const auto* p = static_cast<const uint8_t*>(data.mv_data);
            for (size_t off = start; off + kPostingBytes <= data.mv_size; off += kPostingBytes) {
                if (lowOfPosting(p + off) != low) {
                    runEnded = true;
                    break;
                }
                if (buffer.size() == limit) {
                    tooCommon = true;
                    break;
                }
                buffer.push_back(unpackPosting(p + off));
            }
            if (!runEnded && !tooCommon) rc = mdb_cursor_get(cursor, &key, &data, MDB_NEXT_MULTIPLE);
            start = 0;
        }
        return rc == MDB_SUCCESS || rc == MDB_NOTFOUND || !failed(rc, "cannot read postings", error);
    }

    // A meta record's bytes; empty when there is none (or no meta table: the layout before it).
    static std::string metaValue(MDB_txn* txn, const char* name) {
        MDB_dbi meta = 0;
        MDB_val key = textKey(name), data;
        if (mdb_dbi_open(txn, "meta", 0, &meta) != MDB_SUCCESS || mdb_get(txn, meta, &key, &data) != MDB_SUCCESS) return {};
        return {static_cast<const char*>(data.mv_data), data.mv_size};
    }

    // Replaces the environment and the postings file with a dense copy holding `extra` as well.
    // Only while no other process maps them. The new postings file gets a name of its own, which
    // only the new environment knows: until that takes the old one's place by a rename, the old
    // pair stays whole, and a failure leaves it as it was.
    bool rebuild(const std::vector<TrackFingerprint>& extra, std::string& error) {
        namespace fs = std::filesystem;
        const std::string copy = dir_ + "/compacting";
        std::error_code ec;
        fs::remove_all(copy, ec);
        fs::create_directories(copy, ec);
        const std::string name = nextPostingsName();
        bool ok = false;
        {
            int rc = 0;
            Txn txn(env_.get(), MDB_RDONLY, rc);
            ok = !failed(rc, "cannot start a read transaction", error) &&
                 writeDenseCopy(txn.get(), tables_, *file_, extra, {copy, dir_ + "/" + name, name}, error);
        }
        if (ok) {
            env_.reset();
            file_.reset();
            fs::rename(copy + "/data.mdb", dir_ + "/data.mdb", ec);
            if (ec) {
                error = "cannot replace the index with its dense copy: " + ec.message();
                ok = false;
            }
            // The old pair stays in place when the rename failed: reopen whichever is there.
            std::string reopenError;
            if (!openEnvironment(reopenError)) {
                error = reopenError;
                ok = false;
            }
        }
        fs::remove_all(copy, ec);
        if (ok) removeStalePostingsFiles();
        return ok;
    }

    // The track's postings, hash list and signature, in the caller's write transaction.
    bool putTrack(MDB_txn* txn, uint32_t track, const Fingerprint& print, std::string& error) {
        if (track == 0 || track > kMaxTrackId) {
            error = "track id out of range";
            return false;
        }
        std::vector<Landmark> sorted = print.landmarks;
        std::sort(sorted.begin(), sorted.end(),
                  [](const Landmark& a, const Landmark& b) { return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame; });
        std::vector<uint32_t> hashes;
        hashes.reserve(sorted.size());
        for (const Landmark& l : sorted) {
            if (l.frame > kMaxFrame) continue;
            uint8_t value[kPostingBytes];
            packPosting(l.hash, track, l.frame, value);
            uint32_t k = keyOf(l.hash);
            MDB_val key{sizeof k, &k};
            MDB_val data{kPostingBytes, value};
            const int rc = mdb_put(txn, tables_.postings, &key, &data, MDB_NODUPDATA);
            if (rc == MDB_KEYEXIST) continue;
            if (failed(rc, "cannot store a posting", error)) return false;
            hashes.push_back(l.hash);
        }
        std::vector<uint8_t> list = encodeHashList(std::move(hashes));
        MDB_val key{sizeof track, &track};
        MDB_val data{list.size(), list.data()};
        if (failed(mdb_put(txn, tables_.tracks, &key, &data, 0), "cannot store the track", error)) return false;
        MDB_val words{print.signature.size() * sizeof(uint32_t), const_cast<uint32_t*>(print.signature.data())};
        return !failed(mdb_put(txn, tables_.signatures, &key, &words, 0), "cannot store the signature", error);
    }

    // A batch of new tracks in one write transaction: the tree pages their postings share are
    // copied and written once for the batch rather than once for each track.
    bool putBatch(const std::vector<TrackFingerprint>& tracks, std::string& error) {
        int rc = 0;
        Txn txn(env_.get(), 0, rc);
        if (failed(rc, "cannot start a write transaction", error)) return false;
        std::set<uint32_t> seen;
        for (const TrackFingerprint& t : tracks) {
            uint32_t track = t.track;
            MDB_val key{sizeof track, &track};
            MDB_val data;
            if (!seen.insert(track).second || mdb_get(txn.get(), tables_.tracks, &key, &data) == MDB_SUCCESS) {
                error = "track " + std::to_string(track) + " is already in the index";
                return false;
            }
            if (!putTrack(txn.get(), track, t.print, error)) return false;
        }
        return !failed(txn.commit(), "cannot commit the tracks", error);
    }

    // A rewrite costs the whole index, some ten times less a posting than adding to LMDB's tree, so
    // alone the index takes a batch that way when the batch and the postings added since reach an
    // eighth of the index (the tree then stays small beside the file, and a batch shares its
    // pages), and always for a batch so large that one transaction of it would crawl.
    bool worthRewriting(const std::vector<TrackFingerprint>& tracks) {
        constexpr uint64_t kLargeBatch = uint64_t{1} << 24;  // postings: some 35 hours of audio
        uint64_t added = 0;
        for (const TrackFingerprint& t : tracks) added += t.print.landmarks.size();
        int rc = 0;
        Txn txn(env_.get(), MDB_RDONLY, rc);
        MDB_stat tree{};
        if (rc != MDB_SUCCESS || mdb_stat(txn.get(), tables_.postings, &tree) != MDB_SUCCESS) return true;
        return added >= kLargeBatch || 8 * (added + tree.ms_entries) >= file_->size() + tree.ms_entries;
    }

    // "postings-<n>", one more than the file in use.
    std::string nextPostingsName() const {
        unsigned long long n = 0;
        if (!postingsName_.empty()) n = std::strtoull(postingsName_.c_str() + std::strlen(kPostingsFilePrefix), nullptr, 10);
        return kPostingsFilePrefix + std::to_string(n + 1);
    }

    // Files left by a rewrite that failed or was killed, and the one replaced.
    void removeStalePostingsFiles() const {
        namespace fs = std::filesystem;
        std::error_code ec;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir_, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(kPostingsFilePrefix, 0) == 0 && name != postingsName_) fs::remove(entry.path(), ec);
        }
    }

    bool readRecordings(MDB_txn* txn, std::vector<TrackRecording>& out, std::string& error) {
        int rc = 0;
        Cursor cursor(txn, tables_.recordings, rc);
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
        int rc = mdb_get(txn, tables_.recordings, &key, &data);
        if (rc == MDB_NOTFOUND) return true;
        if (failed(rc, "cannot read the recording", error)) return false;
        uint32_t recording = 0;
        std::memcpy(&recording, data.mv_data, sizeof recording);
        if (failed(mdb_del(txn, tables_.recordings, &key, nullptr), "cannot delete the recording", error)) return false;
        std::vector<TrackRecording> all;
        if (!readRecordings(txn, all, error)) return false;
        std::vector<uint32_t> members;
        for (const TrackRecording& r : all)
            if (r.recording == recording) members.push_back(r.track);
        for (uint32_t member : members) {
            MDB_val k{sizeof member, &member};
            uint32_t name = members.front();  // ascending, so the lowest id
            MDB_val v{sizeof name, &name};
            rc = members.size() == 1 ? mdb_del(txn, tables_.recordings, &k, nullptr) : mdb_put(txn, tables_.recordings, &k, &v, 0);
            if (failed(rc, "cannot update a recording", error)) return false;
        }
        return true;
    }

    std::string dir_;
    FileDescriptor users_;
    std::unique_ptr<MDB_env, EnvClose> env_;
    Tables tables_;
    std::unique_ptr<postings_file::Reader> file_ = std::make_unique<postings_file::Reader>();
    std::string postingsName_;
};

}  // namespace

bool isEarlierLmdbIndex(const std::string& dir) {
    if (!std::filesystem::exists(dir + "/data.mdb")) return false;
    LmdbIndex index;
    std::string error;
    return !index.open(dir, error) && error == kRebuildAdvice;
}

std::unique_ptr<Index> openLmdbIndex(const std::string& dir, std::string& error) {
    auto index = std::make_unique<LmdbIndex>();
    if (!index->open(dir, error)) return nullptr;
    return index;
}

}  // namespace melodex::server
