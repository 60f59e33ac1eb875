#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/match/identifier.h"
#include "server/monitor/sample_history.h"
#include "server/monitor/window_hit.h"

namespace melodex::server {

// Identifies the windows starting at `starts` (samples), each `length` samples of `history`, on
// up to `threads` threads; the answers come back in the order of `starts`. False with the first
// store error.
bool identifyWindows(const Identifier& identifier, const SampleHistory& history, const std::vector<int64_t>& starts,
                     int64_t length, int threads, std::vector<WindowHit>& hits, std::string& error);

}  // namespace melodex::server
