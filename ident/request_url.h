// The address of one identification request.
#pragma once

#include <cstddef>

constexpr int kClientId = 1017;
constexpr std::size_t kRequestUrlBytes = 512;

// Formats "%s?id=%d&ownerIdentifier=%s" from the endpoint, kClientId and the
// owner identifier (8-bit text), percent-encoded where it is not URL-safe, so
// the default 2422 is sent as it is. False, with an empty buffer, when the
// address does not fit in `size` bytes: it is then not sent at all.
bool FormatRequestUrl(char* buffer, std::size_t size, const char* endpoint, const char* ownerIdentifier);
