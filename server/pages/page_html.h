#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/catalog/track_record.h"

namespace melodex::server {

// A track as another page links to it.
struct TrackLink {
    std::string href;  // its Full Song page; empty when it is offered no more
    std::string artist;
    std::string title;
    std::string album;
};

// One line of a phone's history.
struct HistoryLine {
    int64_t atMs = 0;
    int score = 0;
    TrackLink track;  // title empty: the track has left the catalogue
};

// The pages, rendered whole on the server; `self` is the page's own path, under which its
// pictures, stream and exports lie. Every name is escaped.
std::string fullSongPage(const TrackRecord& track, const std::string& self, bool hasCover);
std::string wallpaperPage(const TrackRecord& track, const std::string& self, bool hasCover);
std::string picksPage(const TrackRecord& track, const std::string& self, const std::vector<TrackLink>& album,
                      const std::vector<TrackLink>& artist, const std::vector<HistoryLine>& history);

// "2024-05-01T14:03:09Z"
std::string isoTime(int64_t atMs);

}  // namespace melodex::server
