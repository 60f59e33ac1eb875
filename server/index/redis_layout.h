#pragma once

#include <string>

// The Redis index's keys that more than one file names (see redis_index.cpp for the layout).
namespace melodex::server::redis_layout {

// They share the hash tag {i}: one master holds them, and scripts update them together.
inline const std::string kSeq = "{i}:seq";            // the last commit's sequence number
inline const std::string kCommitLog = "{i}:log";      // the track of each commit, in order
inline const std::string kTracks = "{i}:tracks";      // track -> "<commit sequence> <postings>"
inline const std::string kRemovals = "{i}:removals";  // how many tracks were ever un-committed
inline const std::string kPostings = "{i}:postings";  // committed postings
inline const std::string kRecordings = "{i}:recordings";

}  // namespace melodex::server::redis_layout
