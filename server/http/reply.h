#pragma once

#include <string>

#include "server/catalog/track_record.h"

namespace melodex::server {

// The lead-in the client skips: a non-zero run ("OK"), a zero byte and three more bytes.
extern const char kReplyLeadIn[6];

// The nine tagged elements for a matched track, in the order ALBUM, ARTIST, TRACK_TITLE,
// ALBUM_ART, WALLPAPER, RINGER, SMS_MESSAGE, RECOMMEND, FULL_SONG; "null" stands for nothing.
std::string formatMatchReply(const TrackRecord& track, const std::string& albumArtUrl);

// A reply that holds none of the nine elements: the client shows "not found".
std::string formatNoMatchReply();

// A value as it may appear between two markers: no zero bytes (they end the client's text) and
// no '<' (which could start a marker), "null" when empty.
std::string replyValue(const std::string& value);

}  // namespace melodex::server
