#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace melodex::server {

struct TrackMetadata {
    std::string artist;
    std::string album;
    std::string title;
    double duration = 0.0;       // seconds, 0 when the tags do not say
    std::vector<uint8_t> cover;  // picture file as found (JPEG or PNG), empty when none
};

// Tags and the embedded front cover from TagLib; a cover.jpg / folder.jpg (or .png) beside the
// file when nothing is embedded; "Artist - Title" from the file name when the tags are empty.
TrackMetadata readMetadata(const std::string& path);

}  // namespace melodex::server
