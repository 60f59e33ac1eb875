#include "server/redis/key_slot.h"

namespace melodex::server::redis {
namespace {

// CRC16-CCITT as XMODEM computes it: polynomial 0x1021, initial value 0, no reflection.
uint16_t crc16(std::string_view data) {
    uint16_t crc = 0;
    for (const char c : data) {
        crc ^= static_cast<uint16_t>(static_cast<uint8_t>(c)) << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

// Keys that share a tag land in one slot, so that one node can run commands over all of them.
std::string_view hashedPart(std::string_view key) {
    const size_t open = key.find('{');
    if (open == std::string_view::npos) return key;
    const size_t close = key.find('}', open + 1);
    if (close == std::string_view::npos || close == open + 1) return key;
    return key.substr(open + 1, close - open - 1);
}

}  // namespace

uint16_t keySlot(std::string_view key) { return crc16(hashedPart(key)) % kSlotCount; }

}  // namespace melodex::server::redis
