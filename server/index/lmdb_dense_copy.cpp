#include "server/index/lmdb_dense_copy.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace melodex::server::lmdb {
namespace {

// Appends are committed in pieces so that one transaction's dirty pages stay bounded.
constexpr size_t kRecordsPerCommit = size_t{1} << 21;

struct PackedPosting {
    uint32_t key = 0;
    uint8_t value[kPostingBytes] = {};
};

int compare(uint32_t keyA, const uint8_t* valueA, uint32_t keyB, const uint8_t* valueB) {
    if (keyA != keyB) return keyA < keyB ? -1 : 1;
    return std::memcmp(valueA, valueB, kPostingBytes);
}

// The batch's postings in the table's order (key, then the duplicates' byte order), each once.
std::vector<PackedPosting> packBatch(const std::vector<TrackFingerprint>& extra) {
    size_t count = 0;
    for (const TrackFingerprint& t : extra) count += t.print.landmarks.size();
    std::vector<PackedPosting> out;
    out.reserve(count);
    for (const TrackFingerprint& t : extra)
        for (const Landmark& l : t.print.landmarks) {
            if (l.frame > kMaxFrame) continue;
            PackedPosting p;
            p.key = keyOf(l.hash);
            packPosting(l.hash, t.track, l.frame, p.value);
            out.push_back(p);
        }
    const auto less = [](const PackedPosting& a, const PackedPosting& b) { return compare(a.key, a.value, b.key, b.value) < 0; };
    const auto same = [](const PackedPosting& a, const PackedPosting& b) { return compare(a.key, a.value, b.key, b.value) == 0; };
    std::sort(out.begin(), out.end(), less);
    out.erase(std::unique(out.begin(), out.end(), same), out.end());
    return out;
}

// Reads the postings table in order, a page of fixed-size duplicates at a time.
class PostingReader {
public:
    PostingReader(MDB_txn* txn, MDB_dbi dbi, int& rc) : cursor_(txn, dbi, rc) {
        if (rc == MDB_SUCCESS) rc = startKey(MDB_FIRST);
    }
    bool done() const { return done_; }
    uint32_t key() const { return key_; }
    const uint8_t* value() const { return page_ + at_; }
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
    bool open(const std::string& dir, std::string& error) {
        MDB_env* raw = nullptr;
        if (failed(mdb_env_create(&raw), "cannot create the new index", error)) return false;
        env_.reset(raw);
        mdb_env_set_maxdbs(env_.get(), kMaxTables);
        mdb_env_set_mapsize(env_.get(), kMapSize);
        // Nothing reads the new file before it is complete: one sync at the end suffices.
        if (failed(mdb_env_open(env_.get(), dir.c_str(), MDB_NOTLS | MDB_NOSYNC, 0644), "cannot open the new index", error))
            return false;
        return begin(error) && openTables(txn_->get(), tables_, error) && writeFormat(txn_->get(), tables_, error);
    }
    const Tables& tables() const { return tables_; }

    bool posting(uint32_t key, const uint8_t* value, std::string& error) {
        MDB_val k{sizeof key, &key};
        MDB_val v{kPostingBytes, const_cast<uint8_t*>(value)};
        const unsigned flags = hasLastKey_ && key == lastKey_ ? MDB_APPENDDUP : MDB_APPEND;
        lastKey_ = key;
        hasLastKey_ = true;
        return !failed(mdb_put(txn_->get(), tables_.postings, &k, &v, flags), "cannot write a posting", error) &&
               counted(error);
    }
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
    uint32_t lastKey_ = 0;
    bool hasLastKey_ = false;
};

bool mergePostings(MDB_txn* from, MDB_dbi table, const std::vector<PackedPosting>& batch, DenseWriter& out,
                   std::string& error) {
    int rc = 0;
    PostingReader old(from, table, rc);
    if (failed(rc, "cannot read the index", error)) return false;
    size_t i = 0;
    while (!old.done() || i < batch.size()) {
        const int order = old.done()            ? 1
                          : i == batch.size() ? -1
                                                : compare(old.key(), old.value(), batch[i].key, batch[i].value);
        if (order <= 0) {
            if (!out.posting(old.key(), old.value(), error)) return false;
            if (failed(old.next(), "cannot read the index", error)) return false;
            if (order == 0) ++i;
        } else {
            if (!out.posting(batch[i].key, batch[i].value, error)) return false;
            ++i;
        }
    }
    return true;
}

std::vector<uint8_t> hashListOf(const TrackFingerprint& track) {
    std::vector<uint32_t> hashes;
    hashes.reserve(track.print.landmarks.size());
    for (const Landmark& l : track.print.landmarks)
        if (l.frame <= kMaxFrame) hashes.push_back(l.hash);
    return encodeHashList(std::move(hashes));
}

std::vector<uint8_t> signatureOf(const TrackFingerprint& track) {
    const std::vector<uint32_t>& words = track.print.signature;
    const auto* bytes = reinterpret_cast<const uint8_t*>(words.data());
    return {bytes, bytes + words.size() * sizeof(uint32_t)};
}

// A table keyed by track id: the old records and the batch's (sorted by id, each made by
// `record`), in id order; a batch track already stored is an error.
template <class Record>
bool mergeById(MDB_txn* from, MDB_dbi table, MDB_dbi to, const std::vector<const TrackFingerprint*>& batch, Record record,
               DenseWriter& out, std::string& error) {
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
            if (!out.append(to, key, data, error)) return false;
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

bool writeDenseCopy(MDB_txn* from, const Tables& tables, const std::vector<TrackFingerprint>& extra,
                    const std::string& dir, std::string& error) {
    std::vector<const TrackFingerprint*> batch;
    for (const TrackFingerprint& t : extra) {
        if (t.track == 0 || t.track > kMaxTrackId) {
            error = "track id out of range";
            return false;
        }
        batch.push_back(&t);
    }
    DenseWriter out;
    std::sort(batch.begin(), batch.end(), [](const TrackFingerprint* a, const TrackFingerprint* b) { return a->track < b->track; });
    return out.open(dir, error) && mergeById(from, tables.tracks, out.tables().tracks, batch, hashListOf, out, error) &&
           mergeById(from, tables.signatures, out.tables().signatures, batch, signatureOf, out, error) &&
           mergePostings(from, tables.postings, packBatch(extra), out, error) &&
           copyTable(from, tables.recordings, out.tables().recordings, out, error) && out.finish(error);
}

}  // namespace melodex::server::lmdb
