#pragma once

#include <cstddef>
#include <string>

#include "server/catalog/catalog.h"
#include "server/catalog/page_store.h"
#include "server/http/message.h"
#include "server/pages/link_signer.h"
#include "server/pages/page_address.h"
#include "server/pages/page_html.h"

namespace melodex::server {

// Which of its own pages the service offers, and how much history it keeps.
struct PageOptions {
    bool ringtone = true;
    bool fullSong = true;
    bool wallpaper = true;
    bool picks = true;
    size_t historySize = 1000;  // identifications kept per phone; 0 keeps none
};

// The service's own page for each link of a result: Full Song (a player for the whole track),
// Ringtone (a 30-second Ogg Vorbis excerpt from where the query matched), Wallpaper (the cover
// at phone screen sizes) and ID Picks (the rest of the album, the artist, and the phone's
// history). Pages read the catalogue and the page store, never the index.
class SongPages {
public:
    SongPages(Catalog& catalog, PageStore& store, const std::string& key, PageOptions options);

    // The links a reply carries for `track`, matched `matchSeconds` into it, for the phone
    // `ownerIdentifier`, with addresses under `base` ("http://HOST"). A link set for the track
    // with `set` wins; "none" turns it off, as does the service's option.
    StoreLinks links(const TrackRecord& track, double matchSeconds, const std::string& ownerIdentifier,
                     const std::string& base) const;
    // Adds the identification to the phone's history.
    bool remember(const std::string& ownerIdentifier, uint32_t track, int score, std::string& error) const;

    // Whether the path is one of the pages' (whether or not it is a valid one).
    bool handles(const std::string& path) const;
    // `base` as for links(), for the addresses in exports.
    HttpReply answer(const HttpRequest& request, const std::string& base) const;

private:
    bool offered(const TrackRecord& track, PageKind kind) const;
    std::string songHref(uint32_t track) const;
    HttpReply fullSong(const TrackRecord& track, const PageAddress& address, const HttpRequest& request) const;
    HttpReply audio(const TrackRecord& track, const HttpRequest& request) const;
    HttpReply cover(const TrackRecord& track) const;
    HttpReply ringtone(const TrackRecord& track, const PageAddress& address) const;
    HttpReply wallpaper(const TrackRecord& track, const PageAddress& address, const std::string& self) const;
    HttpReply picks(const TrackRecord& track, const PageAddress& address, const std::string& self) const;
    HttpReply history(const PageAddress& address, const std::string& base, bool json) const;
    bool historyLines(const std::string& owner, size_t limit, std::vector<HistoryLine>& out, std::string& error) const;

    Catalog& catalog_;
    PageStore& store_;
    LinkSigner signer_;
    PageOptions options_;
};

}  // namespace melodex::server
