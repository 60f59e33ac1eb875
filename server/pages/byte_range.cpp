#include "server/pages/byte_range.h"

#include <charconv>

namespace melodex::server {
namespace {

// Digits only; false when empty or beyond 64 bits.
bool parseNumber(const std::string& text, uint64_t& value) {
    if (text.empty()) return false;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

}  // namespace

RangeAsk parseRange(const std::string& header, uint64_t length, ByteRange& out) {
    const std::string unit = "bytes=";
    if (header.rfind(unit, 0) != 0 || header.find(',') != std::string::npos) return RangeAsk::Whole;
    const std::string asked = header.substr(unit.size());
    const size_t dash = asked.find('-');
    if (dash == std::string::npos) return RangeAsk::Whole;
    const std::string from = asked.substr(0, dash), to = asked.substr(dash + 1);
    uint64_t a = 0, b = 0;
    if (from.empty()) {
        // "-N": the last N bytes.
        if (!parseNumber(to, b)) return RangeAsk::Whole;
        if (b == 0 || length == 0) return RangeAsk::Unsatisfiable;
        out = {b >= length ? 0 : length - b, length - 1};
        return RangeAsk::Part;
    }
    if (!parseNumber(from, a) || (!to.empty() && (!parseNumber(to, b) || b < a))) return RangeAsk::Whole;
    if (a >= length) return RangeAsk::Unsatisfiable;
    out = {a, to.empty() || b >= length ? length - 1 : b};
    return RangeAsk::Part;
}

}  // namespace melodex::server
