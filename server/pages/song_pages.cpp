#include "server/pages/song_pages.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>

#include "server/catalog/metadata.h"
#include "server/catalog/thumbnail.h"
#include "server/pages/ringtone.h"
#include "server/pages/text_escape.h"
#include "server/pages/track_audio.h"
#include "server/pages/wallpaper.h"

namespace melodex::server {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr int kCoverSide = 480;          // the Full Song page's picture
constexpr size_t kRelatedLimit = 200;    // tracks of the album and the artist looked at
constexpr size_t kHistoryOnPage = 30;    // the newest shown; the exports hold all that is kept

HttpReply okReply(const std::string& type, std::string body) {
    HttpReply reply;
    reply.contentType = type;
    reply.body = std::move(body);
    return reply;
}

HttpReply jpegReply(const std::vector<uint8_t>& jpeg) {
    HttpReply reply = okReply("image/jpeg", std::string(jpeg.begin(), jpeg.end()));
    reply.headers.emplace_back("Cache-Control", "max-age=86400");
    return reply;
}

// What `set` stored for the link of this kind.
const std::string& setValue(const TrackRecord& track, PageKind kind) {
    switch (kind) {
    case PageKind::Ringtone: return track.links.ringer;
    case PageKind::Wallpaper: return track.links.wallpaper;
    case PageKind::Picks: return track.links.recommend;
    default: return track.links.fullSong;
    }
}

std::string displayName(const TrackRecord& track) {
    return track.artist.empty() ? track.title : track.artist + " - " + track.title;
}

std::vector<uint8_t> fullCover(const TrackRecord& track) { return track.hasArt ? readMetadata(track.path).cover : std::vector<uint8_t>{}; }

bool sameFolder(const TrackRecord& a, const TrackRecord& b) {
    namespace fs = std::filesystem;
    return fs::path(a.path).parent_path() == fs::path(b.path).parent_path();
}

}  // namespace

SongPages::SongPages(Catalog& catalog, PageStore& store, const std::string& key, PageOptions options)
    : catalog_(catalog), store_(store), signer_(key), options_(options) {}

bool SongPages::offered(const TrackRecord& track, PageKind kind) const {
    if (setValue(track, kind) == "none") return false;
    switch (kind) {
    case PageKind::Ringtone: return options_.ringtone;
    case PageKind::Wallpaper: return options_.wallpaper;
    case PageKind::Picks: return options_.picks;
    default: return options_.fullSong;
    }
}

StoreLinks SongPages::links(const TrackRecord& track, double matchSeconds, const std::string& ownerIdentifier,
                            const std::string& base) const {
    StoreLinks out = track.links;
    const auto link = [&](PageKind kind, PageAddress address) -> std::string {
        const std::string& set = setValue(track, kind);
        if (!set.empty() && set != "none") return set;
        if (!offered(track, kind)) return {};
        address.kind = kind;
        address.track = track.id;
        return base + formatPagePath(address, signer_);
    };
    PageAddress ringtone;
    ringtone.offsetMs = static_cast<uint32_t>(std::lround(std::max(0.0, matchSeconds) * 1000.0));
    PageAddress picks;
    picks.owner = signer_.ownerHandle(ownerIdentifier);
    out.ringer = link(PageKind::Ringtone, ringtone);
    out.fullSong = link(PageKind::FullSong, {});
    // A track without a cover has no wallpaper of the service's to offer; one set for it stands.
    const bool wallpaper = track.hasArt || !track.links.wallpaper.empty();
    out.wallpaper = wallpaper ? link(PageKind::Wallpaper, {}) : "";
    out.recommend = link(PageKind::Picks, picks);
    return out;
}

bool SongPages::remember(const std::string& ownerIdentifier, uint32_t track, int score, std::string& error) const {
    if (options_.historySize == 0) return true;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const Identified entry{std::chrono::duration_cast<std::chrono::milliseconds>(now).count(), track, score};
    return store_.addIdentified(signer_.ownerHandle(ownerIdentifier), entry, options_.historySize, error);
}

bool SongPages::handles(const std::string& path) const {
    PageAddress ignored;
    return parsePagePath(path, signer_, ignored) != AddressCheck::NotPage;
}

std::string SongPages::songHref(uint32_t track) const {
    PageAddress address;
    address.track = track;
    return formatPagePath(address, signer_);
}

HttpReply SongPages::answer(const HttpRequest& request, const std::string& base) const {
    const std::string path = request.target.substr(0, request.target.find('?'));
    PageAddress address;
    if (parsePagePath(path, signer_, address) != AddressCheck::Ok)
        return errorReply(403, "forbidden: not an address this service gave out");
    if (request.method != "GET" && request.method != "HEAD") {
        HttpReply reply = errorReply(405, "use GET");
        reply.headers.emplace_back("Allow", "GET, HEAD");
        return reply;
    }
    TrackRecord track;
    bool found = false;
    std::string error;
    if (!catalog_.find(address.track, track, found, error)) return storeFailure("catalogue", error);
    if (!found) return errorReply(404, "this song is no longer in the catalogue");
    if (!offered(track, address.kind)) return errorReply(404, "this service does not offer that for this song");
    const std::string self = formatPagePath(address, signer_);
    switch (address.kind) {
    case PageKind::FullSong: return fullSong(track, address, request);
    case PageKind::Ringtone:
        return address.resource.empty() ? ringtone(track, address) : errorReply(404, "not found");
    case PageKind::Wallpaper: return wallpaper(track, address, self);
    case PageKind::Picks:
        if (address.resource == "history.csv" || address.resource == "history.json")
            return history(address, base, address.resource == "history.json");
        return picks(track, address, self);
    }
    return errorReply(404, "not found");
}

HttpReply SongPages::fullSong(const TrackRecord& track, const PageAddress& address, const HttpRequest& request) const {
    if (address.resource.empty()) return okReply(kHtml, fullSongPage(track, formatPagePath(address, signer_), track.hasArt));
    if (address.resource == "audio") return audio(track, request);
    if (address.resource == "cover.jpg") return cover(track);
    return errorReply(404, "not found");
}

HttpReply SongPages::audio(const TrackRecord& track, const HttpRequest& request) const {
    TrackAudio audio;
    std::string error;
    if (!probeTrackAudio(track.path, audio, error)) return errorReply(500, error);
    ByteRange range{0, audio.length - 1};
    const RangeAsk ask = parseRange(request.range, audio.length, range);
    if (ask == RangeAsk::Unsatisfiable) {
        HttpReply reply = errorReply(416, "range not satisfiable");
        reply.headers.emplace_back("Content-Range", "bytes */" + std::to_string(audio.length));
        return reply;
    }
    HttpReply reply;
    reply.contentType = audio.contentType;
    reply.stream = audio.direct ? fileBytes(track.path, range, error) : convertedBytes(track.path, range, error);
    if (!reply.stream) return errorReply(500, error);
    reply.streamLength = range.size();
    reply.headers.emplace_back("Accept-Ranges", "bytes");
    if (ask == RangeAsk::Part) {
        reply.status = 206;
        reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                        std::to_string(range.last) + "/" + std::to_string(audio.length));
    }
    return reply;
}

HttpReply SongPages::cover(const TrackRecord& track) const {
    const std::vector<uint8_t> picture = fullCover(track);
    RgbPicture rgb;
    std::vector<uint8_t> jpeg;
    std::string error;
    if (picture.empty() || !decodePicture(picture, kCoverSide, false, rgb, error) ||
        !encodeJpeg(fitWithin(rgb, kCoverSide), jpeg, error))
        return errorReply(404, "this song has no cover picture");
    return jpegReply(jpeg);
}

HttpReply SongPages::ringtone(const TrackRecord& track, const PageAddress& address) const {
    std::string ogg, error;
    if (!makeRingtone(track.path, ringtoneStart(address.offsetMs / 1000.0, track.duration), ogg, error))
        return errorReply(500, "cannot make the ringtone: " + error);
    HttpReply reply = okReply("audio/ogg", std::move(ogg));
    reply.headers.emplace_back("Content-Disposition", attachmentName(displayName(track) + ".ogg"));
    return reply;
}

HttpReply SongPages::wallpaper(const TrackRecord& track, const PageAddress& address, const std::string& self) const {
    if (address.resource.empty()) return okReply(kHtml, wallpaperPage(track, self, track.hasArt));
    ScreenSize size{};
    if (!parseWallpaperName(address.resource, size)) return errorReply(404, "not found");
    const std::vector<uint8_t> picture = fullCover(track);
    std::vector<uint8_t> jpeg;
    std::string error;
    if (picture.empty() || !makeWallpaper(picture, size, jpeg, error)) return errorReply(404, "this song has no cover picture");
    return jpegReply(jpeg);
}

HttpReply SongPages::picks(const TrackRecord& track, const PageAddress& address, const std::string& self) const {
    if (!address.resource.empty()) return errorReply(404, "not found");
    std::vector<TrackRecord> related;
    std::vector<HistoryLine> history;
    std::string error;
    if (!catalog_.related(track, kRelatedLimit, related, error)) return storeFailure("catalogue", error);
    if (!historyLines(address.owner, kHistoryOnPage, history, error)) return storeFailure("store", error);
    std::vector<TrackLink> album, artist;
    for (const TrackRecord& other : related) {
        const bool inAlbum = !track.album.empty() && other.album == track.album &&
                             (other.artist == track.artist || sameFolder(other, track));
        const TrackLink link{songHref(other.id), other.artist, other.title, other.album};
        if (inAlbum) album.push_back(link);
        else if (!track.artist.empty() && other.artist == track.artist) artist.push_back(link);
    }
    return okReply(kHtml, picksPage(track, self, album, artist, history));
}

bool SongPages::historyLines(const std::string& owner, size_t limit, std::vector<HistoryLine>& out, std::string& error) const {
    std::vector<Identified> entries;
    if (!store_.identified(owner, limit, entries, error)) return false;
    std::map<uint32_t, TrackLink> known;
    for (const Identified& entry : entries) {
        auto it = known.find(entry.track);
        if (it == known.end()) {
            TrackRecord track;
            bool found = false;
            if (!catalog_.find(entry.track, track, found, error)) return false;
            TrackLink link;
            if (found) link = {offered(track, PageKind::FullSong) ? songHref(track.id) : "", track.artist, track.title, track.album};
            it = known.emplace(entry.track, link).first;
        }
        out.push_back({entry.atMs, entry.score, it->second});
    }
    return true;
}

HttpReply SongPages::history(const PageAddress& address, const std::string& base, bool json) const {
    std::vector<HistoryLine> lines;
    std::string error;
    if (!historyLines(address.owner, options_.historySize, lines, error)) return storeFailure("store", error);
    std::string body = json ? "[" : "time,artist,title,album,score,song\r\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        const HistoryLine& l = lines[i];
        const std::string song = l.track.href.empty() ? "" : base + l.track.href;
        if (json) {
            body += std::string(i == 0 ? "\n" : ",\n") + "{\"time\":" + jsonString(isoTime(l.atMs)) +
                    ",\"artist\":" + jsonString(l.track.artist) + ",\"title\":" + jsonString(l.track.title) +
                    ",\"album\":" + jsonString(l.track.album) + ",\"score\":" + std::to_string(l.score) +
                    ",\"song\":" + (song.empty() ? "null" : jsonString(song)) + "}";
        } else {
            body += isoTime(l.atMs) + "," + csvField(l.track.artist) + "," + csvField(l.track.title) + "," +
                    csvField(l.track.album) + "," + std::to_string(l.score) + "," + csvField(song) + "\r\n";
        }
    }
    if (json) body += "\n]\n";
    HttpReply reply = okReply(json ? "application/json" : "text/csv; charset=utf-8", std::move(body));
    reply.headers.emplace_back("Content-Disposition", attachmentName(std::string("melodex-history.") + (json ? "json" : "csv")));
    return reply;
}

}  // namespace melodex::server
