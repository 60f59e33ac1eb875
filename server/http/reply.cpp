#include "server/http/reply.h"

namespace melodex::server {

const char kReplyLeadIn[6] = {'O', 'K', 0, 0, 0, 0};

std::string replyValue(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\0') continue;
        out.push_back(c == '<' ? '(' : (c == '>' ? ')' : c));
    }
    return out.empty() ? "null" : out;
}

namespace {

void element(std::string& out, const char* name, const std::string& value) {
    out += '<';
    out += name;
    out += '>';
    out += replyValue(value);
    out += "</";
    out += name;
    out += ">\r\n";
}

}  // namespace

std::string formatMatchReply(const TrackRecord& track, const std::string& albumArtUrl) {
    std::string out(kReplyLeadIn, sizeof kReplyLeadIn);
    element(out, "ALBUM", track.album);
    element(out, "ARTIST", track.artist);
    element(out, "TRACK_TITLE", track.title);
    element(out, "ALBUM_ART", albumArtUrl);
    element(out, "WALLPAPER", track.links.wallpaper);
    element(out, "RINGER", track.links.ringer);
    element(out, "SMS_MESSAGE", track.links.smsMessage);
    element(out, "RECOMMEND", track.links.recommend);
    element(out, "FULL_SONG", track.links.fullSong);
    return out;
}

std::string formatNoMatchReply() {
    std::string out(kReplyLeadIn, sizeof kReplyLeadIn);
    out += "NO_MATCH\r\n";
    return out;
}

}  // namespace melodex::server
