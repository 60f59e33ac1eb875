// Conversions between wide strings (UTF-32 wchar_t) and the UTF-8 used on
// disk, in file names and in the settings file.
#pragma once

#include <string>
#include <string_view>

// Surrogate pairs carried in wchar_t are joined; lone surrogates and values
// past Unicode become U+FFFD.
std::string WideToUtf8(std::wstring_view text);
// Malformed sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);
