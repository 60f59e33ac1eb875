#pragma once

// The LMDB index's record layout and the small RAII wrappers its code shares.
#include <lmdb.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "server/index/hash_list.h"
#include "server/index/index.h"

namespace melodex::server::lmdb {

// Layout: the key is the hash's top 8 bits; each posting is a fixed 9-byte duplicate value: the
// hash's low kLowBits bits (big-endian), then the track and the frame (24 bits each,
// big-endian). Sharing a key among 2^kLowBits hashes gives every key many duplicates, which LMDB
// packs densely in pages of their own (a key of its own per hash would cost more than the
// posting itself), and the byte order still groups postings by hash, then by track, so a lookup
// or a removal is one range seek.
inline constexpr int kLowBits = 24;
inline constexpr size_t kPostingBytes = 9;
inline constexpr size_t kMapSize = size_t{256} << 30;

inline uint32_t keyOf(uint32_t hash) { return hash >> kLowBits; }
inline uint32_t lowOf(uint32_t hash) { return hash & ((1u << kLowBits) - 1); }
inline uint32_t lowOfPosting(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }

inline void put24(uint32_t value, uint8_t* out) {
    out[0] = static_cast<uint8_t>(value >> 16);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value);
}

inline void packPosting(uint32_t hash, uint32_t track, uint32_t frame, uint8_t* out) {
    put24(lowOf(hash), out);
    put24(track, out + 3);
    put24(frame, out + 6);
}

inline Posting unpackPosting(const uint8_t* p) { return {lowOfPosting(p + 3), lowOfPosting(p + 6)}; }

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

inline bool failed(int rc, const char* what, std::string& error) {
    if (rc == MDB_SUCCESS) return false;
    error = std::string(what) + ": " + mdb_strerror(rc);
    return true;
}

// The index's tables: postings (hash key -> sorted fixed-size duplicates), tracks (id -> the
// track's hash list, for removal), recordings (id -> the group it belongs to), signatures (id ->
// the track's signature words, native byte order), hidden (ids of tracks removed since the
// postings file was written, whose postings there no longer count) and meta ("format" -> the
// layout's version, "postings file" -> the name of the postings file in the index's folder).
// The dense rewrite moves every posting into a new postings file (postings_file.h); the
// postings table holds those added since.
struct Tables {
    MDB_dbi postings = 0;
    MDB_dbi tracks = 0;
    MDB_dbi recordings = 0;
    MDB_dbi signatures = 0;
    MDB_dbi hidden = 0;
    MDB_dbi meta = 0;
};
inline constexpr unsigned kMaxTables = 8;
inline constexpr const char* kFormatKey = "format";
inline constexpr const char* kPostingsFileKey = "postings file";
inline constexpr const char* kPostingsFilePrefix = "postings-";

inline bool openTables(MDB_txn* txn, Tables& tables, std::string& error) {
    return !failed(mdb_dbi_open(txn, "postings", MDB_CREATE | MDB_DUPSORT | MDB_DUPFIXED | MDB_INTEGERKEY,
                                &tables.postings),
                   "cannot open the postings table", error) &&
           !failed(mdb_dbi_open(txn, "tracks", MDB_CREATE | MDB_INTEGERKEY, &tables.tracks),
                   "cannot open the tracks table", error) &&
           !failed(mdb_dbi_open(txn, "recordings", MDB_CREATE | MDB_INTEGERKEY, &tables.recordings),
                   "cannot open the recordings table", error) &&
           !failed(mdb_dbi_open(txn, "signatures", MDB_CREATE | MDB_INTEGERKEY, &tables.signatures),
                   "cannot open the signatures table", error) &&
           !failed(mdb_dbi_open(txn, "hidden", MDB_CREATE | MDB_INTEGERKEY, &tables.hidden),
                   "cannot open the hidden table", error) &&
           !failed(mdb_dbi_open(txn, "meta", MDB_CREATE, &tables.meta), "cannot open the meta table", error);
}

// The keys of a table keyed by track id, ascending.
inline bool readTrackIds(MDB_txn* txn, MDB_dbi table, std::vector<uint32_t>& out, std::string& error) {
    int rc = 0;
    Cursor cursor(txn, table, rc);
    if (failed(rc, "cannot open a cursor", error)) return false;
    MDB_val key, data;
    while ((rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT)) == MDB_SUCCESS) {
        uint32_t track = 0;
        std::memcpy(&track, key.mv_data, sizeof track);
        out.push_back(track);
    }
    return rc == MDB_NOTFOUND || !failed(rc, "cannot read the index", error);
}

inline MDB_val textKey(const char* text) {
    return {std::char_traits<char>::length(text), const_cast<char*>(text)};
}

// The format a new index is stamped with, and the postings file it reads besides the postings
// table (none when empty).
inline bool writeMeta(MDB_txn* txn, const Tables& tables, const std::string& postingsFile, std::string& error) {
    int format = kIndexFormat;
    MDB_val key = textKey(kFormatKey);
    MDB_val data{sizeof format, &format};
    if (failed(mdb_put(txn, tables.meta, &key, &data, 0), "cannot stamp the index's format", error)) return false;
    if (postingsFile.empty()) return true;
    key = textKey(kPostingsFileKey);
    data = {postingsFile.size(), const_cast<char*>(postingsFile.data())};
    return !failed(mdb_put(txn, tables.meta, &key, &data, 0), "cannot name the postings file", error);
}

}  // namespace melodex::server::lmdb
