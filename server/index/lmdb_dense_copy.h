#pragma once

#include <string>
#include <vector>

#include "server/index/index.h"
#include "server/index/lmdb_layout.h"
#include "server/index/postings_file.h"

namespace melodex::server::lmdb {

// Where a dense copy goes: a fresh environment in the empty directory `environmentDir`, and the
// postings file at `postingsPath`, which the environment names `postingsName`.
struct DenseTarget {
    std::string environmentDir;
    std::string postingsPath;
    std::string postingsName;
};

// Writes the index that `from` and `file` hold, merged with `extra` (tracks not yet in it):
// every posting (of `file` but for the hidden tracks', of the postings table and of `extra`) into
// the new postings file, every other table into the new environment, whose postings and hidden
// tables are left empty. Every table is written in key order, which lets LMDB fill its pages;
// records inserted in random order leave them about half full.
bool writeDenseCopy(MDB_txn* from, const Tables& tables, const postings_file::Reader& file,
                    const std::vector<TrackFingerprint>& extra, const DenseTarget& target, std::string& error);

}  // namespace melodex::server::lmdb
