#include "tags/tag_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/strings.h"
#include "tests/tags/data_folder_fixture.h"

namespace {

using namespace std::string_literals;

SongRecord MakeTag(int32_t number, const wchar_t* artist = L"Artist", const char* sms = "Listen") {
  SongRecord tag;
  tag.tagNumber = number;
  tag.album = DupWideString(L"Album");
  tag.artist = DupWideString(artist);
  tag.trackTitle = DupWideString(L"Title");
  tag.albumArtUrl = DupString("http://art/1.jpg");
  tag.wallpaper = DupString("http://store/wallpaper");
  tag.ringer = DupString("null");
  tag.smsMessage = DupString(sms);
  tag.recommend = DupString("");
  tag.fullSong = DupString("http://store/full");
  return tag;
}

void GiveArt(SongRecord& tag, const std::string& bytes) {
  tag.albumArt = static_cast<BYTE*>(std::malloc(bytes.size()));
  std::memcpy(tag.albumArt, bytes.data(), bytes.size());
  tag.albumArtSize = static_cast<int32_t>(bytes.size());
}

// Saves a tag under the store's next number, as the searching screen does.
void SaveNext(bool withArt) {
  SongRecord tag = MakeTag(nextTagNumber());
  if (withArt) GiveArt(tag, "JPEG" + std::to_string(tag.tagNumber));
  saveTag(tag);
}

std::string Le32(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

using TagStoreTest = DataFolderTest;

TEST_F(TagStoreTest, FirstTagIsZeroAndTheCounterThenHoldsOne) {
  SaveNext(true);
  EXPECT_TRUE(exists("0.dat"));
  EXPECT_EQ(readFile("0.jpg"), "JPEG0");
  EXPECT_EQ(readFile("nexttag.num"), Le32(1));
  EXPECT_EQ(logText(), "writing album art data file (5 byes)\r\n5 bytes actually written to file\r\n");
  EXPECT_EQ(listing(), (std::set<std::string>{"0.dat", "0.jpg", "nexttag.num"}));  // no temporaries left
}

TEST_F(TagStoreTest, EleventhSaveRemovesTheOldestTagAndItsArt) {
  for (int i = 0; i < 11; ++i) SaveNext(true);
  std::set<std::string> expected{"nexttag.num"};
  for (int i = 1; i <= 10; ++i) expected.insert({std::to_string(i) + ".dat", std::to_string(i) + ".jpg"});
  EXPECT_EQ(listing(), expected);
  EXPECT_EQ(countTags(), 10);
  EXPECT_EQ(readFile("nexttag.num"), Le32(11));
}

TEST_F(TagStoreTest, TagWithoutArtWritesNoPictureAndDropsAStaleOne) {
  writeFile("0.jpg", "picture of another song");
  SaveNext(false);
  EXPECT_TRUE(exists("0.dat"));
  EXPECT_FALSE(exists("0.jpg"));
  EXPECT_EQ(logText(), "");
}

TEST_F(TagStoreTest, GoldenTagFileAndCounterBytes) {
  SongRecord tag;
  tag.tagNumber = 7;
  tag.album = DupWideString(L"Ab");
  tag.artist = DupWideString(L"\u00e9\U0001D11E");  // é, and a character that needs a surrogate pair
  tag.wallpaper = DupString("w");
  tag.ringer = DupString("null");
  tag.fullSong = DupString("\xe9");
  saveTag(tag);
  const std::string expected =
      "A\0b\0\0\0"s                       // album
      "\xe9\0\x34\xd8\x1e\xdd\0\0"s       // artist: U+00E9, D834 DD1E
      "\0\0"s                             // trackTitle absent: terminator alone
      "w\0null\0\0\0\xe9\0"s;             // wallpaper, ringer, smsMessage, recommend, fullSong
  EXPECT_EQ(readFile("7.dat"), expected);

  writeFile("nexttag.num", Le32(0x01020304));
  EXPECT_EQ(nextTagNumber(), 0x01020304);
  EXPECT_EQ(readFile("nexttag.num"), "\x05\x03\x02\x01"s);
}

TEST_F(TagStoreTest, EveryFieldSurvivesTheRoundTrip) {
  SongRecord tag = MakeTag(3, L"Beyonc\u00e9 \u00fc \u65e5\u672c \U0001F3B5", "caf\xc3\xa9 \xe9");
  GiveArt(tag, "JPEG");
  saveTag(tag);

  SongRecord loaded;
  ASSERT_TRUE(loadTag(loaded, L"3.dat"));
  EXPECT_EQ(loaded.tagNumber, 3);
  EXPECT_STREQ(loaded.album, L"Album");
  EXPECT_STREQ(loaded.artist, L"Beyonc\u00e9 \u00fc \u65e5\u672c \U0001F3B5");
  EXPECT_STREQ(loaded.trackTitle, L"Title");
  EXPECT_STREQ(loaded.wallpaper, "http://store/wallpaper");
  EXPECT_STREQ(loaded.ringer, "null");
  EXPECT_STREQ(loaded.smsMessage, "caf\xc3\xa9 \xe9");
  EXPECT_STREQ(loaded.recommend, "");
  EXPECT_STREQ(loaded.fullSong, "http://store/full");
  EXPECT_EQ(loaded.albumArtUrl, nullptr);
  EXPECT_EQ(loaded.albumArt, nullptr);
  EXPECT_EQ(loaded.albumArtSize, 0);
  // Created now: 100 ns units since 1601, so 2020 lies at about 1.32e17.
  const uint64_t created = uint64_t{loaded.created.dwHighDateTime} << 32 | loaded.created.dwLowDateTime;
  EXPECT_GT(created, 132223104000000000ULL);

  SongRecord absent;  // every text field absent: stored and read back as empty
  absent.tagNumber = 4;
  saveTag(absent);
  ASSERT_TRUE(loadTag(loaded, L"4.dat"));
  for (const wchar_t* field : {loaded.album, loaded.artist, loaded.trackTitle}) EXPECT_STREQ(field, L"");
  for (const char* field : {loaded.wallpaper, loaded.ringer, loaded.smsMessage, loaded.recommend, loaded.fullSong})
    EXPECT_STREQ(field, "");
}

TEST_F(TagStoreTest, LongTagsAreReadBackWhole) {
  // A long reply makes a tag file larger than 4 KiB; it must still load.
  const std::string sms(20000, 's');
  SongRecord tag = MakeTag(0, L"Artist", sms.c_str());
  saveTag(tag);
  SongRecord loaded;
  ASSERT_TRUE(loadTag(loaded, L"0.dat"));
  EXPECT_EQ(loaded.smsMessage, sms);
  EXPECT_STREQ(loaded.fullSong, "http://store/full");

  // Bytes after the eighth terminator are ignored.
  writeFile("1.dat", "a\0\0\0\0\0\0\0w\0r\0s\0c\0f\0"s + std::string(5000, 'x'));
  ASSERT_TRUE(loadTag(loaded, L"1.dat"));
  EXPECT_STREQ(loaded.album, L"a");
  EXPECT_STREQ(loaded.fullSong, "f");
}

TEST_F(TagStoreTest, DamagedTagFilesFailWithoutTouchingTheTag) {
  writeFile("1.dat", "a\0\0\0b\0\0\0"s);                  // two of three UTF-16 terminators
  writeFile("2.dat", "a\0\0\0b\0\0\0c\0\0\0w\0r\0s\0c\0"s);  // four of five 8-bit terminators
  writeFile("3.dat", "a\0\0"s);                           // half a UTF-16 unit at the end
  writeFile("4.dat", "");
  SongRecord tag = MakeTag(42);
  for (const wchar_t* name : {L"1.dat", L"2.dat", L"3.dat", L"4.dat", L"missing.dat"}) {
    EXPECT_FALSE(loadTag(tag, name)) << name;
    EXPECT_EQ(tag.tagNumber, 42);
    EXPECT_STREQ(tag.artist, L"Artist");
  }
}

TEST_F(TagStoreTest, LoneSurrogatesReadAsReplacementCharacters) {
  writeFile("5.dat", "\x00\xd8x\0\0\0\x34\xd8\x1e\xdd\0\0\x1e\xdd\0\0\0\0\0\0\0"s);
  SongRecord tag;
  ASSERT_TRUE(loadTag(tag, L"5.dat"));
  EXPECT_STREQ(tag.album, L"\ufffdx");
  EXPECT_STREQ(tag.artist, L"\U0001D11E");
  EXPECT_STREQ(tag.trackTitle, L"\ufffd");
}

TEST_F(TagStoreTest, NamesWithoutANumberCountButAreNeverPruned) {
  writeFile("notes.dat", std::string(11, '\0'));  // a valid tag with every field empty
  SongRecord tag;
  ASSERT_TRUE(loadTag(tag, L"notes.dat"));
  EXPECT_EQ(tag.tagNumber, -1);

  for (int i = 0; i < 9; ++i) writeFile("x" + std::to_string(i) + ".dat", "");
  EXPECT_EQ(countTags(), 10);
  SaveNext(false);
  SaveNext(false);
  // Ten unnumbered files and the newest tag: the tag before it went, the newest stayed.
  EXPECT_EQ(countTags(), 11);
  EXPECT_FALSE(exists("0.dat"));
  EXPECT_TRUE(exists("1.dat"));
  EXPECT_TRUE(exists("notes.dat"));
}

TEST_F(TagStoreTest, LostOrDamagedCounterContinuesAfterTheHighestTag) {
  for (int i = 0; i < 10; ++i) SaveNext(false);
  std::filesystem::remove(path("nexttag.num"));
  EXPECT_EQ(nextTagNumber(), 10);
  writeFile("nexttag.num", "\x02\x00"s);  // short
  EXPECT_EQ(nextTagNumber(), 10);
  writeFile("nexttag.num", Le32(3));  // behind the tags on disk
  const int32_t number = nextTagNumber();
  EXPECT_EQ(number, 10);
  saveTag(MakeTag(number));
  EXPECT_TRUE(exists("10.dat"));
  EXPECT_FALSE(exists("0.dat"));
  EXPECT_EQ(countTags(), 10);
  EXPECT_EQ(readFile("nexttag.num"), Le32(11));
}

TEST_F(TagStoreTest, EmptyStoreStartsAtZeroAndDeletingNeverLowersTheCounter) {
  EXPECT_EQ(nextTagNumber(), 0);
  SaveNext(true);  // tag 1
  SongRecord tag;
  tag.tagNumber = 1;
  deleteTag(tag);
  deleteTag(tag);  // already gone: no harm
  EXPECT_EQ(listing(), std::set<std::string>{"nexttag.num"});
  EXPECT_EQ(nextTagNumber(), 2);
}

TEST_F(TagStoreTest, DeleteOldestSkipsNegativeAndUnnumberedNames) {
  for (const char* name : {"-3.dat", "abc.dat", "12.dat", "5.dat", "5.jpg", "40.dat"}) writeFile(name, "");
  deleteOldestTag();
  EXPECT_FALSE(exists("5.dat"));
  EXPECT_FALSE(exists("5.jpg"));
  EXPECT_EQ(countTags(), 4);
}

TEST_F(TagStoreTest, NumberedTagFilesListHighestFirst) {
  for (const char* name : {"3.dat", "-3.dat", "abc.dat", "12.dat", "5.jpg", "40.dat", "7x.dat", "0.dat", "100.dat"})
    writeFile(name, "");
  EXPECT_EQ(ListTagFilesNewestFirst(),
            (std::vector<std::wstring>{L"100.dat", L"40.dat", L"12.dat", L"7x.dat", L"3.dat", L"0.dat"}));
}

TEST_F(TagStoreTest, PruningPassesOverATagThatCannotBeDeleted) {
  std::filesystem::create_directory(path("0.dat"));  // not a file: cannot be deleted
  for (int i = 1; i <= 9; ++i) writeFile(std::to_string(i) + ".dat", "");
  saveTag(MakeTag(10));
  EXPECT_TRUE(std::filesystem::is_directory(path("0.dat")));
  EXPECT_FALSE(exists("1.dat"));
  EXPECT_TRUE(exists("2.dat"));
  EXPECT_TRUE(exists("10.dat"));
  EXPECT_EQ(countTags(), 10);
}

TEST_F(TagStoreTest, TagThatCannotBeWrittenLeavesNoArtOrTemporariesBehind) {
  std::filesystem::create_directory(path("3.dat"));  // N.dat cannot be replaced
  SongRecord tag = MakeTag(3);
  GiveArt(tag, "JPEG");
  saveTag(tag);
  EXPECT_EQ(listing(), std::set<std::string>{"3.dat"});
}

// Runs `body` unable to write the data folder, even as root.
template <typename Body>
void WithReadOnlyFolder(const std::filesystem::path& folder, Body body) {
  std::filesystem::permissions(folder,
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                   std::filesystem::perms::group_read | std::filesystem::perms::group_exec |
                                   std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(seteuid(65534), 0);  // root ignores permission bits; nobody does not
  }
  body();
  if (root) {
    ASSERT_EQ(seteuid(0), 0);
  }
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
}

TEST_F(TagStoreTest, ReadOnlyFolderLosesNothing) {
  for (int i = 0; i < 10; ++i) SaveNext(true);
  const std::set<std::string> before = listing();
  const std::string tagBefore = readFile("0.dat");

  WithReadOnlyFolder(folder_, [&] {
    SongRecord tag = MakeTag(nextTagNumber());
    EXPECT_EQ(tag.tagNumber, 10);
    GiveArt(tag, "JPEG");
    saveTag(tag);
    saveTag(MakeTag(0, L"Someone else"));  // would replace tag 0
    deleteOldestTag();
    SongRecord loaded;
    EXPECT_TRUE(loadTag(loaded, L"0.dat"));
    EXPECT_STREQ(loaded.artist, L"Artist");
  });

  EXPECT_EQ(listing(), before);
  EXPECT_EQ(readFile("0.dat"), tagBefore);
  EXPECT_EQ(readFile("nexttag.num"), Le32(10));
}

TEST_F(TagStoreTest, PathBuilders) {
  const std::string folder = folder_.string();
  EXPECT_EQ(TagDataPath(12), folder + "/12.dat");
  EXPECT_EQ(TagArtPath(0), folder + "/0.jpg");
  EXPECT_EQ(TagDataPathW(3), std::wstring(folder.begin(), folder.end()) + L"/3.dat");
  EXPECT_EQ(TagArtPathW(3), std::wstring(folder.begin(), folder.end()) + L"/3.jpg");
}

}  // namespace
