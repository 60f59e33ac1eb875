#include "server/monitor/clock_time.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace melodex::server {

std::string formatClock(double seconds) {
    const long tenths = std::lround(std::max(0.0, seconds) * 10);
    const long whole = tenths / 10;
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld.%ld", whole / 3600, whole / 60 % 60, whole % 60, tenths % 10);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld.%ld", whole / 60, whole % 60, tenths % 10);
    return text;
}

bool parseClock(const std::string& text, double& seconds) {
    seconds = 0;
    const char* at = text.c_str();
    for (int parts = 0; parts < 3; ++parts) {
        char* end = nullptr;
        const double value = std::strtod(at, &end);
        if (end == at || value < 0 || !std::isfinite(value)) return false;
        seconds = seconds * 60 + value;
        if (*end == '\0') return true;
        if (*end != ':') return false;
        at = end + 1;
    }
    return false;
}

}  // namespace melodex::server
