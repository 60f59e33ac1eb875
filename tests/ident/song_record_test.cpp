#include "ident/song_record.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "app/strings.h"

namespace {

TEST(SongRecordTest, FreshRecordIsEmptyAndSafeToDestroy) {
  SongRecord record;
  EXPECT_EQ(record.album, nullptr);
  EXPECT_EQ(record.fullSong, nullptr);
  EXPECT_EQ(record.albumArt, nullptr);
  EXPECT_EQ(record.albumArtSize, 0);
  record.release();
  record.release();
}

TEST(SongRecordTest, DeepCopyOwnsItsOwnBlocks) {
  SongRecord original;
  original.tagNumber = 9;
  original.artist = DupWideString(L"\u65e5\u672c");
  original.wallpaper = DupString("null");
  original.albumArt = static_cast<BYTE*>(std::malloc(3));
  std::memcpy(original.albumArt, "JPG", 3);
  original.albumArtSize = 3;
  original.created = {0x11223344, 0x55667788};

  SongRecord copy(original);
  original.artist[0] = L'x';
  original.albumArt[0] = 'x';
  EXPECT_EQ(copy.tagNumber, 9);
  EXPECT_STREQ(copy.artist, L"\u65e5\u672c");
  EXPECT_STREQ(copy.wallpaper, "null");
  EXPECT_NE(copy.wallpaper, original.wallpaper);
  ASSERT_EQ(copy.albumArtSize, 3);
  EXPECT_EQ(std::memcmp(copy.albumArt, "JPG", 3), 0);
  EXPECT_EQ(copy.created.dwLowDateTime, 0x11223344u);
  EXPECT_EQ(copy.created.dwHighDateTime, 0x55667788u);
  // Absent fields stay absent; a copy without art has none.
  EXPECT_EQ(copy.album, nullptr);
  EXPECT_EQ(copy.ringer, nullptr);

  SongRecord assigned;
  assigned.album = DupWideString(L"old");
  assigned = copy;
  EXPECT_EQ(assigned.album, nullptr);
  EXPECT_STREQ(assigned.artist, L"\u65e5\u672c");
  const SongRecord& self = assigned;
  assigned = self;
  EXPECT_STREQ(assigned.artist, L"\u65e5\u672c");

  SongRecord noArt;
  SongRecord noArtCopy(noArt);
  EXPECT_EQ(noArtCopy.albumArt, nullptr);
  EXPECT_EQ(noArtCopy.albumArtSize, 0);
}

TEST(SongRecordTest, NullAndEmptyCountAsAbsent) {
  EXPECT_FALSE(IsFieldPresent(static_cast<const char*>(nullptr)));
  EXPECT_FALSE(IsFieldPresent(""));
  EXPECT_FALSE(IsFieldPresent("null"));
  EXPECT_TRUE(IsFieldPresent("NULL"));
  EXPECT_TRUE(IsFieldPresent("nullx"));
  EXPECT_TRUE(IsFieldPresent(" null"));
  EXPECT_TRUE(IsFieldPresent("http://store/x"));
  EXPECT_FALSE(IsFieldPresent(static_cast<const wchar_t*>(nullptr)));
  EXPECT_FALSE(IsFieldPresent(L""));
  EXPECT_FALSE(IsFieldPresent(L"null"));
  EXPECT_TRUE(IsFieldPresent(L"Null"));
}

}  // namespace
