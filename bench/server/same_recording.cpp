#include "bench/server/same_recording.h"

namespace melodex::bench {

SameRecording::SameRecording(const std::vector<server::TrackRecording>& groups) {
    for (const server::TrackRecording& g : groups) recording_[g.track] = g.recording;
}

uint32_t SameRecording::recordingOf(uint32_t track) const {
    const auto it = recording_.find(track);
    return it == recording_.end() ? track : it->second;
}

}  // namespace melodex::bench
