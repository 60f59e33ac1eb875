// Text from the network and files: UTF-8 where it is well formed, Windows-1252
// byte by byte where it is not; and back to UTF-8.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "app/strings.h"

namespace {

template <typename Char>
std::basic_string<Char> Taken(Char* text) {
  const std::unique_ptr<Char, decltype(&std::free)> owned(text, &std::free);
  return text ? std::basic_string<Char>(text) : std::basic_string<Char>();
}

TEST(Strings, Utf8OrWindows1252AndBack) {
  const std::pair<const char*, std::wstring> wide[] = {
      {"Beyonc\xc3\xa9", L"Beyonc\u00e9"}, {"\xe6\x97\xa5\xe6\x9c\xac", L"\u65e5\u672c"}, {"", L""},
      {"\xf0\x9f\x8e\xb5", std::wstring(1, static_cast<wchar_t>(0x1F3B5))},  // one character, not a pair
      {"Caf\xe9", L"Caf\u00e9"}, {"\x93quoted\x94 \x80", L"\u201cquoted\u201d \u20ac"},
      {"\xc3(\xc3\xa9", L"\u00c3(\u00e9"},  // a broken sequence costs only its own bytes
      {"\xc0\xaf", L"\u00c0\u00af"}, {"\xed\xa0\x80", L"\u00ed\u00a0\u20ac"},  // overlong, surrogate: not UTF-8
  };
  for (const auto& [bytes, expected] : wide) EXPECT_EQ(Taken(AnsiToWide(bytes)), expected) << bytes;
  EXPECT_EQ(Taken(WideToAnsi(L"Mot\u00f6rhead \u65e5\u672c \U0001F3B5")),
            "Mot\xc3\xb6rhead \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xb5");
  EXPECT_EQ(Taken(DupString("abc")), "abc");
  EXPECT_EQ(Taken(DupWideString(L"\u00e9t\u00e9")), L"\u00e9t\u00e9");
  EXPECT_TRUE(!AnsiToWide(nullptr) && !WideToAnsi(nullptr) && !DupString(nullptr) && !DupWideString(nullptr));
}

}  // namespace
