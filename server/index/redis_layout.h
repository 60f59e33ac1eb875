#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

// The Redis index's keys that more than one file names (see redis_index.cpp for the layout).
namespace melodex::server::redis_layout {

// They share the hash tag {i}: one master holds them, and scripts update them together.
inline const std::string kSeq = "{i}:seq";            // the last commit's sequence number
inline const std::string kCommitLog = "{i}:log";      // the track of each commit, in order
inline const std::string kTracks = "{i}:tracks";      // track -> "<commit sequence> <postings>"
inline const std::string kRemovals = "{i}:removals";  // how many tracks were ever un-committed
inline const std::string kPostings = "{i}:postings";  // committed postings
inline const std::string kRecordings = "{i}:recordings";
inline const std::string kFormat = "{i}:format";      // the layout's version (kIndexFormat)

// A counter or id as Redis returns it, in decimal text; 0 when it is not a number.
inline uint64_t toNumber(std::string_view text) {
    uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

}  // namespace melodex::server::redis_layout
