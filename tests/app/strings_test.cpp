#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "app/strings.h"

namespace {

struct Free {
  void operator()(void* p) const { std::free(p); }
};

std::wstring Wide(const char* text) {
  std::unique_ptr<wchar_t, Free> wide(AnsiToWide(text));
  return wide ? std::wstring(wide.get()) : L"<null>";
}

std::string Narrow(const wchar_t* text) {
  std::unique_ptr<char, Free> narrow(WideToAnsi(text));
  return narrow ? std::string(narrow.get()) : "<null>";
}

TEST(Strings, NullGivesNull) {
  EXPECT_EQ(AnsiToWide(nullptr), nullptr);
  EXPECT_EQ(WideToAnsi(nullptr), nullptr);
  EXPECT_EQ(DupString(nullptr), nullptr);
  EXPECT_EQ(DupWideString(nullptr), nullptr);
}

TEST(Strings, ValidUtf8DecodesAndRoundTrips) {
  EXPECT_EQ(Wide("Beyonc\xc3\xa9"), L"Beyonc\u00e9");
  EXPECT_EQ(Wide("\xe6\x97\xa5\xe6\x9c\xac"), L"\u65e5\u672c");
  EXPECT_EQ(Wide("\xf0\x9f\x8e\xb5"), std::wstring(1, static_cast<wchar_t>(0x1F3B5)));
  EXPECT_EQ(Narrow(L"Mot\u00f6rhead \u65e5\u672c"), "Mot\xc3\xb6rhead \xe6\x97\xa5\xe6\x9c\xac");
  EXPECT_EQ(Wide(""), L"");
}

TEST(Strings, BytesThatAreNotUtf8AreWindows1252) {
  EXPECT_EQ(Wide("Caf\xe9"), L"Caf\u00e9");
  EXPECT_EQ(Wide("\x93quoted\x94 \x80"), L"\u201cquoted\u201d \u20ac");
  // A broken sequence costs only its own bytes; what follows still decodes.
  EXPECT_EQ(Wide("\xc3(\xc3\xa9"), L"\u00c3(\u00e9");
  // Overlong forms and encoded surrogates are not accepted as UTF-8.
  EXPECT_EQ(Wide("\xc0\xaf"), L"\u00c0\u00af");
  EXPECT_EQ(Wide("\xed\xa0\x80"), L"\u00ed\u00a0\u20ac");
}

TEST(Strings, CopiesAreIndependent) {
  std::unique_ptr<char, Free> copy(DupString("abc"));
  std::unique_ptr<wchar_t, Free> wide(DupWideString(L"\u00e9t\u00e9"));
  EXPECT_STREQ(copy.get(), "abc");
  EXPECT_STREQ(wide.get(), L"\u00e9t\u00e9");
}

}  // namespace
