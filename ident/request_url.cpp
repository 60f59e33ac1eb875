#include "ident/request_url.h"

#include <cstdio>
#include <string>

#include "net/url_escape.h"

bool FormatRequestUrl(char* buffer, std::size_t size, const char* endpoint, const char* ownerIdentifier) {
  if (size == 0) return false;
  const std::string owner = PercentEncode(ownerIdentifier);
  const int length = std::snprintf(buffer, size, "%s?id=%d&ownerIdentifier=%s", endpoint ? endpoint : "", kClientId,
                                   owner.c_str());
  if (length >= 0 && static_cast<std::size_t>(length) < size) return true;
  buffer[0] = '\0';
  return false;
}
