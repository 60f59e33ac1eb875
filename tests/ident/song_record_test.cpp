#include "ident/song_record.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "app/strings.h"

namespace {

TEST(SongRecordTest, CopiesOwnBlocksOfTheirOwnAndKeepAbsentFieldsAbsent) {
  SongRecord original;
  original.tagNumber = 9;
  original.artist = DupWideString(L"\u65e5\u672c");
  original.wallpaper = DupString("null");
  original.albumArt = static_cast<BYTE*>(std::malloc(3));
  std::memcpy(original.albumArt, "JPG", 3);
  original.albumArtSize = 3;
  original.created = {0x11223344, 0x55667788};

  SongRecord assigned;
  assigned.album = DupWideString(L"old");
  assigned = SongRecord(original);
  original.artist[0] = L'x';
  original.albumArt[0] = 'x';
  EXPECT_EQ(std::tuple(assigned.tagNumber, std::wstring(assigned.artist), std::string(assigned.wallpaper),
                       std::string(reinterpret_cast<char*>(assigned.albumArt), assigned.albumArtSize),
                       assigned.created.dwLowDateTime, assigned.created.dwHighDateTime),
            std::tuple(9, std::wstring(L"\u65e5\u672c"), std::string("null"), std::string("JPG"), 0x11223344u,
                       0x55667788u));
  EXPECT_TRUE(assigned.album == nullptr && assigned.ringer == nullptr) << "absent fields stay absent";
  const SongRecord& self = assigned;
  assigned = self;
  EXPECT_STREQ(assigned.artist, L"\u65e5\u672c");
  const SongRecord noArt(SongRecord{});
  EXPECT_TRUE(noArt.albumArt == nullptr && noArt.albumArtSize == 0);
  assigned.release();
  assigned.release();
}

TEST(SongRecordTest, NullAndEmptyCountAsAbsent) {
  for (const char* absent : {static_cast<const char*>(nullptr), "", "null"}) EXPECT_FALSE(IsFieldPresent(absent));
  for (const char* present : {"NULL", "nullx", " null", "http://store/x"}) EXPECT_TRUE(IsFieldPresent(present));
  for (const wchar_t* absent : {static_cast<const wchar_t*>(nullptr), L"", L"null"})
    EXPECT_FALSE(IsFieldPresent(absent));
  EXPECT_TRUE(IsFieldPresent(L"Null"));
}

}  // namespace
