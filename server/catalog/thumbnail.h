#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace melodex::server {

constexpr int kDefaultArtSize = 110;

// Decodes a JPEG or PNG picture and writes a JPEG that fits within maxSide x maxSide pixels,
// aspect kept, never enlarged. Returns false (and leaves `jpeg` empty) for anything else.
bool makeThumbnail(const std::vector<uint8_t>& picture, int maxSide, std::vector<uint8_t>& jpeg, std::string& error);

}  // namespace melodex::server
