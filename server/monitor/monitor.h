#pragma once

#include <functional>
#include <string>

#include "server/index/index.h"
#include "server/monitor/monitor_input.h"
#include "server/monitor/segment.h"
#include "server/monitor/segmenter.h"

namespace melodex::server {

struct MonitorOptions {
    SegmenterOptions segments;  // also the window's length and step
    double fromSeconds = 0;     // the part of the input to analyse
    double toSeconds = 0;       // 0: to its end
    int threads = 0;            // for files: 0 is one per core
    bool refine = true;         // refine each play's ends on the samples
    ReconnectOptions input;
};

struct MonitorEvents {
    std::function<void(const Segment&)> segment;
    std::function<void(const std::string&)> log;  // drops, reconnections and gaps of live inputs
    std::function<void(double position, double duration)> progress;  // seconds; duration 0 when unknown
};

// Identifies what plays when in one input: a sliding window over it, each window identified on
// its own, the answers turned into segments as they close. A file is analysed on every core,
// a window batch at a time; a live input window by window as it plays, holding only the last
// minute or two of samples. False with a reason when the input cannot be read or a store fails.
bool monitorInput(Index& index, const std::string& input, const MonitorOptions& options, const MonitorEvents& events,
                  std::string& error);

}  // namespace melodex::server
