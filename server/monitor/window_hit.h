#pragma once

#include <cstdint>

#include "server/match/identifier.h"

namespace melodex::server {

// One window's answer placed on the input's time line. Where the window matched, input time x
// plays track time id.offsetSeconds + speed * (x - seconds).
struct WindowHit {
    double seconds = 0;        // where the window starts in the input
    Identification id;
    double trackTimeAt(double x) const { return id.offsetSeconds + id.match.speed * (x - seconds); }
};

}  // namespace melodex::server
