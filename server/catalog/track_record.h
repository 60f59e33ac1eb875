#pragma once

#include <cstdint>
#include <string>

namespace melodex::server {

// Optional store links and share text shown with a result; empty means "nothing to say".
struct StoreLinks {
    std::string wallpaper;
    std::string ringer;
    std::string smsMessage;
    std::string recommend;  // a page of picks
    std::string fullSong;
};

struct TrackRecord {
    uint32_t id = 0;
    std::string path;
    std::string fileHash;
    std::string artist;
    std::string album;
    std::string title;
    double duration = 0.0;  // seconds
    int64_t hashes = 0;
    bool hasArt = false;
    StoreLinks links;
};

}  // namespace melodex::server
