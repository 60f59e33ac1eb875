#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/catalog/catalog.h"
#include "server/fingerprint/fingerprinter.h"
#include "server/index/index.h"

namespace melodex::server {

// A track on its way into the catalogue and the index.
struct NewTrack {
    TrackRecord record;
    std::vector<uint8_t> art;
    Fingerprint print;
    uint32_t replaces = 0;  // an older version of the same file, taken out first
    uint32_t id = 0;        // its id, once stored
    std::string error;      // why it was not stored
};

// Tracks an indexing run stores together: an index takes a batch much faster than its tracks
// one by one, and a batch this size holds little memory (the tracks' hashes and covers).
inline constexpr size_t kTracksPerBatch = 32;

// Stores a batch of tracks: each one's older version goes and it is marked pending in the
// catalogue, all go into the index together, then each joins the tracks that hold the same
// recording and is marked ready. A track that fails is taken out again with its `error` set; the
// others are stored. An interrupted batch leaves only pending tracks, which the next run removes.
void storeTracks(Catalog& catalog, Index& index, std::vector<NewTrack>& batch);

// Takes a track out of the index, then out of the catalogue.
bool removeStoredTrack(Catalog& catalog, Index& index, uint32_t id, std::string& error);

}  // namespace melodex::server
