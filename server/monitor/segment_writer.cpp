#include "server/monitor/segment_writer.h"

#include <cmath>

#include "server/monitor/clock_time.h"
#include "server/pages/text_escape.h"

namespace melodex::server {

void SegmentWriter::beginInput(const std::string& input, bool announce) {
    input_ = input;
    if (format_ == SegmentFormat::Text && announce) std::fprintf(out_, "%s\n", input.c_str());
    if (format_ == SegmentFormat::Csv && !headerWritten_) {
        std::fprintf(out_, "input,start,end,track,artist,title,score,confidence,speed,windows\n");
        headerWritten_ = true;
    }
    std::fflush(out_);
}

void SegmentWriter::write(const Segment& s, const TrackRecord* track) {
    const std::string artist = track ? track->artist : "";
    const std::string title = track ? track->title : "";
    const uint32_t id = track ? s.track : 0;
    switch (format_) {
    case SegmentFormat::Text:
        if (track) {
            // The speed only where it is off by more than its estimate's own spread.
            char speed[32] = "";
            if (std::abs(s.speed - 1.0) >= 0.005) std::snprintf(speed, sizeof speed, ", speed %.3f", s.speed);
            const std::string name = artist.empty() ? title : artist + " - " + title;
            std::fprintf(out_, "%s  %s  %s  (track %u, score %d, confidence %.1f, %d windows%s)\n",
                         formatClock(s.start).c_str(), formatClock(s.end).c_str(), name.c_str(), id, s.score,
                         s.confidence, s.windows, speed);
        } else
            std::fprintf(out_, "%s  %s  unknown\n", formatClock(s.start).c_str(), formatClock(s.end).c_str());
        break;
    case SegmentFormat::Csv:
        std::fprintf(out_, "%s,%.2f,%.2f,%u,%s,%s,%d,%.2f,%.3f,%d\n", csvField(input_).c_str(), s.start, s.end, id,
                     csvField(artist).c_str(), csvField(title).c_str(), s.score, s.confidence, s.speed, s.windows);
        break;
    case SegmentFormat::JsonLines:
        std::fprintf(out_,
                     "{\"input\":%s,\"start\":%.2f,\"end\":%.2f,\"known\":%s,\"track\":%u,\"artist\":%s,\"title\":%s,"
                     "\"score\":%d,\"confidence\":%.2f,\"speed\":%.3f,\"windows\":%d}\n",
                     jsonString(input_).c_str(), s.start, s.end, track ? "true" : "false", id, jsonString(artist).c_str(),
                     jsonString(title).c_str(), s.score, s.confidence, s.speed, s.windows);
        break;
    }
    std::fflush(out_);
}

}  // namespace melodex::server
