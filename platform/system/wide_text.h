// Conversions between wide strings (UTF-32 wchar_t), the UTF-8 used on
// disk, in file names and in the settings file, and the UTF-16 of the phone
// libraries.
#pragma once

#include <string>
#include <string_view>

// Surrogate pairs carried in wchar_t are joined; lone surrogates and values
// past Unicode become U+FFFD.
std::string WideToUtf8(std::wstring_view text);
// Malformed sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);

// Characters past U+FFFF become surrogate pairs; surrogates carried in
// wchar_t pass unchanged.
std::u16string WideToUtf16(std::wstring_view text);
// Lone surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
