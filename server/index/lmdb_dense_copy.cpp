#include "server/index/lmdb_dense_copy.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace melodex::server::lmdb {
namespace {

// Appends are committed in pieces so that one transaction's dirty pages stay bounded.
constexpr size_t kRecordsPerCommit = size_t{1} << 21;

using postings_file::Entry;

// The batch's postings in the file's order, each once.
std::vector<Entry> packBatch(const std::vector<TrackFingerprint>& extra) {
    size_t count = 0;
    for (const TrackFingerprint& t : extra) count += t.print.landmarks.size();
    std::vector<Entry> out;
    out.reserve(count);
    for (const TrackFingerprint& t : extra)
        for (const Landmark& l : t.print.landmarks)
            if (l.frame <= kMaxFrame) out.push_back({l.hash, t.track, l.frame});
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// Reads the postings table in order, a page of fixed-size duplicates at a time.
class PostingReader {
public:
    PostingReader(MDB_txn* txn, MDB_dbi dbi, int& rc) : cursor_(txn, dbi, rc) {
        if (rc == MDB_SUCCESS) rc = startKey(MDB_FIRST);
    }
    bool done() const { return done_; }
    Entry entry() const {
        const uint8_t* value = page_ + at_;
        const Posting p = unpackPosting(value);
        return {key_ << kLowBits | lowOfPosting(value), p.track, p.frame};
    }
    int next() {
        at_ += kPostingBytes;
        if (at_ < size_) return MDB_SUCCESS;
        const int rc = fetch(MDB_NEXT_MULTIPLE);
        return rc == MDB_NOTFOUND ? startKey(MDB_NEXT_NODUP) : rc;
    }

private:
    int startKey(MDB_cursor_op op) {
        MDB_val k;
        const int rc = mdb_cursor_get(cursor_.get(), &k, &data_, op);
        if (rc == MDB_NOTFOUND) {
            done_ = true;
            return MDB_SUCCESS;
        }
        if (rc != MDB_SUCCESS) return rc;
        std::memcpy(&key_, k.mv_data, sizeof key_);
        // On a key's first duplicate, GET_MULTIPLE returns its whole first page; a key with a
        // single value leaves `data_` as it is, holding that value.
        return fetch(MDB_GET_MULTIPLE);
    }
    int fetch(MDB_cursor_op op) {
        MDB_val k;
        const int rc = mdb_cursor_get(cursor_.get(), &k, &data_, op);
        if (rc != MDB_SUCCESS) return rc;
        page_ = static_cast<const uint8_t*>(data_.mv_data);
        size_ = data_.mv_size;
        at_ = 0;
        return MDB_SUCCESS;
    }

    Cursor cursor_;
    MDB_val data_{};
    uint32_t key_ = 0;
    const uint8_t* page_ = nullptr;
    size_t size_ = 0;
    size_t at_ = 0;
    bool done_ = false;
};

// A fresh environment filled by appends in key order.
class DenseWriter {
public:
    bool open(const std::string& dir, const std::string& postingsFile, std::string& error) {
        MDB_env* raw = nullptr;
        if (failed(mdb_env_create(&raw), "cannot create the new index", error)) return false;
        env_.reset(raw);
        mdb_env_set_maxdbs(env_.get(), kMaxTables);
        mdb_env_set_mapsize(env_.get(), kMapSize);
        // Nothing reads the new file before it is complete: one sync at the end suffices.
        if (failed(mdb_env_open(env_.get(), dir.c_str(), MDB_NOTLS | MDB_NOSYNC, 0644), "cannot open the new index", error))
            return false;
        return begin(error) && openTables(txn_->get(), tables_, error) && writeMeta(txn_->get(), tables_, postingsFile, error);
    }
    const Tables& tables() const { return tables_; }

    bool append(MDB_dbi table, MDB_val key, MDB_val data, std::string& error) {
        return !failed(mdb_put(txn_->get(), table, &key, &data, MDB_APPEND), "cannot write a record", error) &&
               counted(error);
    }
    bool finish(std::string& error) {
        return !failed(txn_->commit(), "cannot commit the new index", error) &&
               !failed(mdb_env_sync(env_.get(), 1), "cannot write the new index to disk", error);
    }

private:
    bool begin(std::string& error) {
        int rc = 0;
        txn_ = std::make_unique<Txn>(env_.get(), 0, rc);
        return !failed(rc, "cannot start a write transaction", error);
    }
    bool counted(std::string& error) {
        if (++records_ % kRecordsPerCommit != 0) return true;
        return !failed(txn_->commit(), "cannot commit the new index", error) && begin(error);
    }

    std::unique_ptr<MDB_env, EnvClose> env_;
    std::unique_ptr<Txn> txn_;
    Tables tables_;
    size_t records_ = 0;
};

// The old file's postings but for the hidden tracks', in order.
class FileSource {
public:
    FileSource(const postings_file::Reader& file, std::vector<uint32_t> hidden) : walk_(file), hidden_(std::move(hidden)) {}
    bool next(Entry& out) {
        while (walk_.next(out))
            if (!std::binary_search(hidden_.begin(), hidden_.end(), out.track)) return true;
        return false;
    }
    bool damaged() const { return walk_.damaged(); }

private:
    postings_file::Reader::Walk walk_;
    std::vector<uint32_t> hidden_;  // ascending
};

// Every posting, of the old file, of the postings table and of the batch, merged in order into
// the new file, each once.
bool mergePostings(MDB_txn* from, const Tables& tables, const postings_file::Reader& file,
                   const std::vector<TrackFingerprint>& extra, postings_file::Writer& out, std::string& error) {
    const std::vector<Entry> batch = packBatch(extra);
    std::vector<uint32_t> hidden;
    if (!readTrackIds(from, tables.hidden, hidden, error)) return false;
    FileSource old(file, std::move(hidden));
    int rc = 0;
    PostingReader table(from, tables.postings, rc);
    if (failed(rc, "cannot read the index", error)) return false;
    Entry fromFile, last;
    bool haveFile = old.next(fromFile), any = false;
    size_t i = 0;
    while (haveFile || !table.done() || i < batch.size()) {
        Entry next;
        if (haveFile && (table.done() || !(table.entry() < fromFile)) && (i == batch.size() || !(batch[i] < fromFile))) {
            next = fromFile;
            haveFile = old.next(fromFile);
        } else if (!table.done() && (i == batch.size() || !(batch[i] < table.entry()))) {
            next = table.entry();
            if (failed(table.next(), "cannot read the index", error)) return false;
        } else {
            next = batch[i++];
        }
        if (any && next == last) continue;
        if (!out.add(next, error)) return false;
        last = next;
        any = true;
    }
    // A rewrite that stopped at damage would lose the rest of the file's postings.
    if (old.damaged()) error = "the postings file is damaged: rebuild the index with `melodex-server reindex`";
    return !old.damaged();
}

// Every posting moves into the postings file, where removal hides a track's postings instead of
// deleting them: the tracks table no longer needs their hash lists, only their ids.
std::vector<uint8_t> noHashList(const TrackFingerprint&) { return {}; }

std::vector<uint8_t> signatureOf(const TrackFingerprint& track) {
    const std::vector<uint32_t>& words = track.print.signature;
    const auto* bytes = reinterpret_cast<const uint8_t*>(words.data());
    return {bytes, bytes + words.size() * sizeof(uint32_t)};
}

// A table keyed by track id: the old records (emptied unless `keepOld`) and the batch's (sorted
// by id, each made by `record`), in id order; a batch track already stored is an error.
template <class Record>
bool mergeById(MDB_txn* from, MDB_dbi table, MDB_dbi to, const std::vector<const TrackFingerprint*>& batch, Record record,
               bool keepOld, DenseWriter& out, std::string& error) {
    int rc = 0;
    Cursor cursor(from, table, rc);
    if (failed(rc, "cannot read the index", error)) return false;
    MDB_val key, data;
    rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_FIRST);
    size_t i = 0;
    while (rc == MDB_SUCCESS || i < batch.size()) {
        uint32_t oldId = 0;
        if (rc == MDB_SUCCESS) std::memcpy(&oldId, key.mv_data, sizeof oldId);
        if (rc == MDB_SUCCESS && (i == batch.size() || oldId < batch[i]->track)) {
            if (!out.append(to, key, keepOld ? data : MDB_val{0, nullptr}, error)) return false;
            rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT);
            continue;
        }
        uint32_t id = batch[i]->track;
        if ((rc == MDB_SUCCESS && oldId == id) || (i + 1 < batch.size() && batch[i + 1]->track == id)) {
            error = "track " + std::to_string(id) + " is already in the index";
            return false;
        }
        std::vector<uint8_t> bytes = record(*batch[i]);
        if (!out.append(to, {sizeof id, &id}, {bytes.size(), bytes.data()}, error)) return false;
        ++i;
    }
    return rc == MDB_NOTFOUND || !failed(rc, "cannot read the index", error);
}

bool copyTable(MDB_txn* from, MDB_dbi table, MDB_dbi to, DenseWriter& out, std::string& error) {
    int rc = 0;
    Cursor cursor(from, table, rc);
    if (failed(rc, "cannot read the index", error)) return false;
    MDB_val key, data;
    while ((rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT)) == MDB_SUCCESS)
        if (!out.append(to, key, data, error)) return false;
    return rc == MDB_NOTFOUND || !failed(rc, "cannot read the index", error);
}

}  // namespace

bool writeDenseCopy(MDB_txn* from, const Tables& tables, const postings_file::Reader& file,
                    const std::vector<TrackFingerprint>& extra, const DenseTarget& target, std::string& error) {
    std::vector<const TrackFingerprint*> batch;
    size_t extraPostings = 0;
    for (const TrackFingerprint& t : extra) {
        if (t.track == 0 || t.track > kMaxTrackId) {
            error = "track id out of range";
            return false;
        }
        batch.push_back(&t);
        extraPostings += t.print.landmarks.size();
    }
    std::sort(batch.begin(), batch.end(), [](const TrackFingerprint* a, const TrackFingerprint* b) { return a->track < b->track; });
    MDB_stat table{};
    if (failed(mdb_stat(from, tables.postings, &table), "cannot read index statistics", error)) return false;
    DenseWriter out;
    postings_file::Writer postings;
    return out.open(target.environmentDir, target.postingsName, error) &&
           mergeById(from, tables.tracks, out.tables().tracks, batch, noHashList, false, out, error) &&
           mergeById(from, tables.signatures, out.tables().signatures, batch, signatureOf, true, out, error) &&
           copyTable(from, tables.recordings, out.tables().recordings, out, error) &&
           postings.open(target.postingsPath, file.size() + table.ms_entries + extraPostings, error) &&
           mergePostings(from, tables, file, extra, postings, error) && postings.finish(error) && out.finish(error);
}

}  // namespace melodex::server::lmdb
