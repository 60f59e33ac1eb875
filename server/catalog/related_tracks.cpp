#include "server/catalog/catalog.h"

namespace melodex::server {

bool Catalog::related(const TrackRecord& track, size_t limit, std::vector<TrackRecord>& out, std::string& error) {
    out.clear();
    std::vector<TrackRecord> all;
    if (!list(all, error)) return false;
    for (TrackRecord& other : all) {
        if (out.size() >= limit) break;
        const bool sameAlbum = !track.album.empty() && other.album == track.album;
        const bool sameArtist = !track.artist.empty() && other.artist == track.artist;
        if (other.id != track.id && (sameAlbum || sameArtist)) out.push_back(std::move(other));
    }
    return true;
}

}  // namespace melodex::server
