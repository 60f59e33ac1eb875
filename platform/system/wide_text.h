// Conversions between wide strings (UTF-32 wchar_t) and the UTF-8 used on
// disk, in file names and in the settings file.
#pragma once

#include <string>

std::string WideToUtf8(const std::wstring& text);
// Malformed sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);
