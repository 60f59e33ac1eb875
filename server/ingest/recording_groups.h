#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/fingerprint/landmarks.h"
#include "server/index/index.h"

namespace melodex::server {

// Tracks already in the index that hold the same recording as a new track's landmarks over a
// long aligned stretch: the same file under another name, the album track on a compilation, an
// extended version that contains the original.
bool findSameRecording(Index& index, const std::vector<Landmark>& landmarks, std::vector<uint32_t>& tracks,
                       std::string& error);

// Puts `track` into one group with `same` and every track already grouped with them.
bool joinRecording(Index& index, uint32_t track, const std::vector<uint32_t>& same, std::string& error);

// Groups a track already in the index (which finds itself, and any copy stored in the same
// batch) with the tracks that hold the same recording.
bool joinCopies(Index& index, uint32_t track, const std::vector<Landmark>& landmarks, std::string& error);

}  // namespace melodex::server
