#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "server/index/index.h"

namespace melodex::bench {

// Whether two tracks hold the same recording. The corpus has the same music in several files,
// which `index` groups: an answer with another copy of a query's music is a right one.
class SameRecording {
public:
    explicit SameRecording(const std::vector<server::TrackRecording>& groups);
    bool operator()(uint32_t a, uint32_t b) const { return recordingOf(a) == recordingOf(b); }

private:
    // A track in no group is a recording of its own.
    uint32_t recordingOf(uint32_t track) const;

    std::map<uint32_t, uint32_t> recording_;
};

}  // namespace melodex::bench
