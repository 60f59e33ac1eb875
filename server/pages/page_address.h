#pragma once

#include <cstdint>
#include <string>

#include "server/pages/link_signer.h"

namespace melodex::server {

enum class PageKind { FullSong, Ringtone, Wallpaper, Picks };

// What one of the service's own song addresses names:
//   /song/ID~SIG                  the Full Song page
//   /ringtone/ID-MS~SIG           the ringtone starting MS milliseconds into the track
//   /wallpaper/ID~SIG             the wallpaper page
//   /picks/ID-OWNER~SIG           the picks page for a phone (OWNER: its handle)
// each optionally followed by "/RESOURCE" (the stream, a picture, an export), which the
// signature does not cover: what a page may serve is a fixed list per kind.
struct PageAddress {
    PageKind kind = PageKind::FullSong;
    uint32_t track = 0;
    uint32_t offsetMs = 0;  // Ringtone
    std::string owner;      // Picks
    std::string resource;   // "" for the page itself
};

enum class AddressCheck {
    NotPage,    // not under one of the pages' prefixes
    Refused,    // under one, but not an address the service issued (missing, changed or forged)
    Ok,
};

// The signed path, without a resource.
std::string formatPagePath(const PageAddress& address, const LinkSigner& signer);
AddressCheck parsePagePath(const std::string& path, const LinkSigner& signer, PageAddress& out);

}  // namespace melodex::server
