// Conversion of the platform's wide text (UTF-32 on Linux, or UTF-16
// surrogate pairs carried in wchar_t) to UTF-8.
#pragma once

#include <string>
#include <string_view>

std::string WideToUtf8(std::wstring_view text);
