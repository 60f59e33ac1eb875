#pragma once

#include <cstdint>
#include <string>

namespace melodex::server {

struct ByteRange {
    uint64_t first = 0;
    uint64_t last = 0;  // inclusive
    uint64_t size() const { return last - first + 1; }
};

enum class RangeAsk {
    Whole,          // no Range header, or one this server does not follow (several ranges, other units)
    Part,           // one satisfiable range, clamped to the body
    Unsatisfiable,  // a range that starts at or beyond the end: 416
};

// The one range of a "Range: bytes=..." header against a body of `length` bytes.
RangeAsk parseRange(const std::string& header, uint64_t length, ByteRange& out);

}  // namespace melodex::server
