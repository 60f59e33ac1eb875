#include "ident/song_record.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

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
  EXPECT_EQ(assigned.tagNumber, 9);
  EXPECT_STREQ(assigned.artist, L"\u65e5\u672c");
  EXPECT_STREQ(assigned.wallpaper, "null");
  ASSERT_EQ(assigned.albumArtSize, 3);
  EXPECT_EQ(std::memcmp(assigned.albumArt, "JPG", 3), 0);
  EXPECT_EQ(assigned.created.dwLowDateTime, 0x11223344u);
  EXPECT_EQ(assigned.created.dwHighDateTime, 0x55667788u);
  EXPECT_EQ(assigned.album, nullptr);
  EXPECT_EQ(assigned.ringer, nullptr);
  const SongRecord& self = assigned;
  assigned = self;
  EXPECT_STREQ(assigned.artist, L"\u65e5\u672c");

  const SongRecord noArt(SongRecord{});
  EXPECT_EQ(noArt.albumArt, nullptr);
  EXPECT_EQ(noArt.albumArtSize, 0);
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
