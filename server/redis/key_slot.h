#pragma once

#include <cstdint>
#include <string_view>

namespace melodex::server::redis {

constexpr uint16_t kSlotCount = 16384;

// The cluster slot of a key: CRC16 (XMODEM) of the key, or of its hash tag (the text between
// the first '{' and the next '}', when not empty), modulo 16384.
uint16_t keySlot(std::string_view key);

}  // namespace melodex::server::redis
