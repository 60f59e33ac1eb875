#include "app/strings.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/system/wide_text.h"

namespace {

// Windows-1252 characters 0x80-0x9F; the undefined ones map to themselves
// (C1 controls), as Windows' own conversion does.
constexpr wchar_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

wchar_t FromCp1252(unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0) return kCp1252High[byte - 0x80];
  return static_cast<wchar_t>(byte);
}

// Decodes one UTF-8 sequence at `s`; returns its length, or 0 when the bytes
// there are not well-formed UTF-8 (overlong forms and surrogates included).
std::size_t DecodeUtf8(const unsigned char* s, char32_t* out) {
  const unsigned char lead = s[0];
  if (lead < 0x80) {
    *out = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;  // also stops at the terminator
    value = (value << 6) | (s[i] & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *out = value;
  return length;
}

}  // namespace

wchar_t* AnsiToWide(const char* text) {
  if (!text) return nullptr;
  const std::size_t length = std::strlen(text);
  // Every byte yields at most one character; one spare unit as the original allocation had.
  auto* wide = static_cast<wchar_t*>(std::malloc((length + 2) * sizeof(wchar_t)));
  if (!wide) return nullptr;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t in = 0;
  std::size_t out = 0;
  while (in < length) {
    char32_t c = 0;
    std::size_t used = DecodeUtf8(bytes + in, &c);
    if (used == 0) {
      c = FromCp1252(bytes[in]);
      used = 1;
    }
    wide[out++] = static_cast<wchar_t>(c);
    in += used;
  }
  wide[out] = L'\0';
  return wide;
}

char* WideToAnsi(const wchar_t* text) {
  if (!text) return nullptr;
  return DupString(WideToUtf8(text).c_str());
}

char* DupString(const char* text) {
  if (!text) return nullptr;
  const std::size_t size = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(std::malloc(size));
  if (copy) std::memcpy(copy, text, size);
  return copy;
}

wchar_t* DupWideString(const wchar_t* text) {
  if (!text) return nullptr;
  const std::size_t size = (std::wcslen(text) + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(std::malloc(size));
  if (copy) std::memcpy(copy, text, size);
  return copy;
}
