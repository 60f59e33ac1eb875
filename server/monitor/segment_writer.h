#pragma once

#include <cstdio>
#include <string>

#include "server/catalog/track_record.h"
#include "server/monitor/segment.h"

namespace melodex::server {

enum class SegmentFormat { Text, Csv, JsonLines };

// Writes each segment as one line the moment it is known, flushed, so a pipe sees it live.
// Text:   "0:00.0  3:12.4  Artist - Title  (track 12, score 48, confidence 23.5, 14 windows)"
// CSV:    a header line, then input,start,end,track,artist,title,score,confidence,speed,windows
// JSON:   one object a line with the same fields (track 0 and empty names for unknown stretches)
class SegmentWriter {
public:
    SegmentWriter(std::FILE* out, SegmentFormat format) : out_(out), format_(format) {}

    // Text output names each input before its segments when there are several.
    void beginInput(const std::string& input, bool announce);
    // `track` holds the catalogue's details of a known segment's track (null for unknown ones).
    void write(const Segment& segment, const TrackRecord* track);

private:
    std::FILE* out_;
    SegmentFormat format_;
    std::string input_;
    bool headerWritten_ = false;
};

}  // namespace melodex::server
