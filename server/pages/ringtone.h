#pragma once

#include <string>

namespace melodex::server {

constexpr double kRingtoneSeconds = 30.0;

// Where a ringtone of a track `trackSeconds` long starts, for a match `matchSeconds` into it: at
// the match (the part the user just heard), moved back as far as needed to hold 30 seconds.
double ringtoneStart(double matchSeconds, double trackSeconds);

// A 30-second excerpt of the file from `startSeconds` (less when the track ends first), faded
// in and out, as Ogg Vorbis.
bool makeRingtone(const std::string& path, double startSeconds, std::string& ogg, std::string& error);

}  // namespace melodex::server
