#pragma once

#include <string>

namespace melodex::server {

// Input times as people write them: "H:MM:SS.s" (or "M:SS.s" under an hour).
std::string formatClock(double seconds);
// Reads "SECONDS", "M:SS" or "H:MM:SS", each part possibly with decimals; false when it is none.
bool parseClock(const std::string& text, double& seconds);

}  // namespace melodex::server
