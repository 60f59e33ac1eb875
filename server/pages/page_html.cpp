#include "server/pages/page_html.h"

#include <ctime>

#include "server/pages/text_escape.h"
#include "server/pages/wallpaper.h"

namespace melodex::server {
namespace {

constexpr const char* kStyle =
    "body{margin:0;font:16px/1.4 sans-serif;color:#222;background:#f4f4f8}"
    "header{background:#1a4d9c;color:#fff;padding:.5em .75em;font-weight:bold}"
    "main{max-width:32em;margin:0 auto;padding:.75em}"
    "h1{font-size:1.3em;margin:.2em 0}h2{font-size:1.05em;margin:1.2em 0 .3em}"
    ".who{margin:0;color:#555}"
    // The player stays in view on a small screen: the cover takes at most half its height.
    ".cover{display:block;width:100%;max-width:min(20em,40vh);margin:0 auto .75em;border-radius:4px}"
    "audio{display:block;width:100%;margin:1em 0}"
    "ul{list-style:none;padding:0;margin:0;background:#fff;border-radius:4px}"
    "li a,li span{display:block;padding:.55em .6em;border-bottom:1px solid #e4e4ea;color:#1a4d9c;"
    "text-decoration:none;overflow-wrap:anywhere}"
    "li small{display:block;color:#777}"
    ".preview{display:block;max-width:100%;max-height:60vh;width:auto;height:auto;margin:.75em auto;"
    "box-shadow:0 1px 4px #0004}"
    ".exports a{display:inline-block;background:#f08a00;color:#fff;padding:.4em 1em;border-radius:4px;"
    "text-decoration:none;margin:.5em .5em 0 0}";

// Shows the history's times in the phone's own time zone, where scripts run.
constexpr const char* kLocalTimes =
    "<script>document.querySelectorAll('time').forEach(function(t){var d=new Date(t.dateTime);"
    "if(!isNaN(d))t.textContent=d.toLocaleString([],{dateStyle:'medium',timeStyle:'short'})})</script>";

std::string shell(const std::string& title, const std::string& banner, const std::string& body) {
    return "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\"><title>" +
           htmlEscape(title) + "</title><style>" + kStyle + "</style></head><body><header>Melodex · " + banner +
           "</header><main>" + body + "</main></body></html>\n";
}

std::string heading(const TrackRecord& track) {
    std::string out = "<h1>" + htmlEscape(track.title) + "</h1><p class=\"who\">" + htmlEscape(track.artist) + "</p>";
    if (!track.album.empty()) out += "<p class=\"who\"><small>" + htmlEscape(track.album) + "</small></p>";
    return out;
}

std::string pageTitle(const TrackRecord& track) {
    return track.artist.empty() ? track.title : track.artist + " - " + track.title;
}

// `note` is HTML already.
std::string trackItem(const TrackLink& link, const std::string& note) {
    const std::string text = htmlEscape(link.title) + "<small>" + note + "</small>";
    if (link.href.empty()) return "<li><span>" + text + "</span></li>";
    return "<li><a href=\"" + htmlEscape(link.href) + "\">" + text + "</a></li>";
}

std::string trackList(const std::string& title, const std::vector<TrackLink>& tracks, bool withArtist) {
    if (tracks.empty()) return {};
    std::string out = "<h2>" + htmlEscape(title) + "</h2><ul>";
    for (const TrackLink& t : tracks) out += trackItem(t, htmlEscape(withArtist ? t.artist : t.album));
    return out + "</ul>";
}

std::string historyList(const std::string& self, const std::vector<HistoryLine>& history) {
    std::string out = "<h2>Identified on this phone</h2>";
    if (history.empty()) return out + "<p>Nothing yet.</p>";
    out += "<ul>";
    for (const HistoryLine& line : history) {
        const std::string when = isoTime(line.atMs);
        const std::string time = "<time datetime=\"" + when + "\">" + when.substr(0, 10) + " " + when.substr(11, 5) +
                                 " UTC</time>";
        TrackLink shown = line.track;
        if (shown.title.empty()) shown.title = "(no longer in the catalogue)";
        out += trackItem(shown, (shown.artist.empty() ? "" : htmlEscape(shown.artist) + " · ") + time);
    }
    return out + "</ul><p class=\"exports\"><a href=\"" + htmlEscape(self) + "/history.csv\" download>CSV</a><a href=\"" +
           htmlEscape(self) + "/history.json\" download>JSON</a></p>";
}

}  // namespace

std::string isoTime(int64_t atMs) {
    const std::time_t seconds = static_cast<std::time_t>(atMs / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string fullSongPage(const TrackRecord& track, const std::string& self, bool hasCover) {
    std::string body;
    if (hasCover) body += "<img class=\"cover\" src=\"" + htmlEscape(self) + "/cover.jpg\" alt=\"\">";
    body += heading(track);
    body += "<audio controls preload=\"metadata\" src=\"" + htmlEscape(self) + "/audio\">"
            "Your browser plays no audio here.</audio>";
    // The length the browser found, for checks from outside (a headless browser's DOM).
    body += "<script>var a=document.querySelector('audio');a.addEventListener('loadedmetadata',function()"
            "{a.dataset.duration=a.duration})</script>";
    return shell(pageTitle(track), "Full Song", body);
}

std::string wallpaperPage(const TrackRecord& track, const std::string& self, bool hasCover) {
    std::string body = heading(track);
    if (!hasCover) return shell(pageTitle(track), "Wallpaper", body + "<p>This song has no cover picture, so there is no wallpaper for it.</p>");
    const std::string base = htmlEscape(self) + "/";
    body += "<img class=\"preview\" src=\"" + base + "240x320.jpg\" width=\"240\" height=\"320\" alt=\"\">";
    body += "<h2>Download for your screen</h2><ul>";
    for (const ScreenSize& size : kWallpaperSizes) {
        const std::string name = std::to_string(size.width) + "x" + std::to_string(size.height);
        body += "<li><a href=\"" + base + name + ".jpg\" download=\"" + htmlEscape(pageTitle(track)) + " " + name +
                ".jpg\">" + std::to_string(size.width) + " × " + std::to_string(size.height) + "</a></li>";
    }
    return shell(pageTitle(track), "Wallpaper", body + "</ul>");
}

std::string picksPage(const TrackRecord& track, const std::string& self, const std::vector<TrackLink>& album,
                      const std::vector<TrackLink>& artist, const std::vector<HistoryLine>& history) {
    std::string body = heading(track);
    body += trackList("From the album " + track.album, album, true);
    body += trackList("More by " + track.artist, artist, false);
    if (album.empty() && artist.empty()) body += "<p>The catalogue holds nothing else from this album or artist.</p>";
    body += historyList(self, history);
    return shell(pageTitle(track), "ID Picks", body + kLocalTimes);
}

}  // namespace melodex::server
