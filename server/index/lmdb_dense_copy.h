#pragma once

#include <string>
#include <vector>

#include "server/index/index.h"
#include "server/index/lmdb_layout.h"

namespace melodex::server::lmdb {

// Writes the index that `from` reads, merged with `extra` (tracks not yet in it), into a fresh
// environment in the empty directory `dir`. Every table is written in key order, which lets LMDB
// fill its pages; records inserted in random order leave them about half full.
bool writeDenseCopy(MDB_txn* from, const Tables& tables, const std::vector<TrackFingerprint>& extra,
                    const std::string& dir, std::string& error);

}  // namespace melodex::server::lmdb
