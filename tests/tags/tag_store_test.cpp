// The tag store on disk: the counter, the file layout, pruning to ten tags,
// damaged and foreign files, and folders that cannot be written.
#include "tags/tag_store.h"

#include <unistd.h>

#include <cstring>

#include "tags/tag_date.h"
#include "tests/tags/data_folder_fixture.h"

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

SongRecord MakeTag(int32_t number, const std::string& art = "") {
  SongRecord tag;
  tag.tagNumber = number;
  tag.artist = DupWideString(L"Artist");
  if (!art.empty()) {
    tag.albumArt = static_cast<BYTE*>(std::malloc(art.size()));
    std::memcpy(tag.albumArt, art.data(), art.size());
    tag.albumArtSize = static_cast<int32_t>(art.size());
  }
  return tag;
}

// Saves a tag under the store's next number, as the searching screen does.
void SaveNext(bool withArt) {
  const int32_t number = nextTagNumber();
  saveTag(MakeTag(number, withArt ? "JPEG" + std::to_string(number) : ""));
}

std::string Le32(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

using TagStoreTest = DataFolderTest;

TEST_F(TagStoreTest, NumbersStartAtZeroAndNeverGoBackAndTheFieldsComeBack) {
  SaveNext(true);
  EXPECT_EQ(readFile("0.jpg"), "JPEG0");
  EXPECT_EQ(readFile("nexttag.num"), Le32(1));
  EXPECT_EQ(logText(), "writing album art data file (5 byes)\r\n5 bytes actually written to file\r\n");
  EXPECT_EQ(listing(), (std::set<std::string>{"0.dat", "0.jpg", "nexttag.num"})) << "no temporaries left";
  deleteTag(MakeTag(0));
  deleteTag(MakeTag(0));  // already gone: no harm
  EXPECT_EQ(listing(), std::set<std::string>{"nexttag.num"});
  EXPECT_EQ(nextTagNumber(), 1) << "deleting never lowers the counter";
  writeFile("nexttag.num", Le32(0x01020304));
  EXPECT_EQ(nextTagNumber(), 0x01020304);
  EXPECT_EQ(readFile("nexttag.num"), "\x05\x03\x02\x01"s);
  // A counter lost, cut short or behind the tags on disk continues after the highest tag.
  fs::remove(folder_ / "nexttag.num");
  SaveNext(false);
  EXPECT_FALSE(exists("0.jpg")) << "no art";
  for (int i = 1; i < 10; ++i) SaveNext(true);
  for (const std::string& counter : {""s, "\x02\x00"s, Le32(3)}) {
    writeFile("nexttag.num", counter);
    if (counter.empty()) fs::remove(folder_ / "nexttag.num");
    EXPECT_EQ(nextTagNumber(), 10);
  }
  // The eleventh tag takes the oldest's place, its art included.
  saveTag(MakeTag(10, "JPEG"));
  std::set<std::string> expected{"nexttag.num"};
  for (int i = 1; i <= 10; ++i) expected.insert({std::to_string(i) + ".dat", std::to_string(i) + ".jpg"});
  EXPECT_EQ(listing(), expected);
  EXPECT_EQ(readFile("nexttag.num"), Le32(11));
  // The file holds the fields, and every one comes back; a tag without art drops the old one.
  writeFile("7.jpg", "picture of another song");
  SongRecord tag;
  tag.tagNumber = 7;
  tag.album = DupWideString(L"Ab");
  tag.artist = DupWideString(L"\u00e9\U0001D11E");  // and a character that needs a surrogate pair
  tag.albumArtUrl = DupString("http://art/7.jpg");
  tag.wallpaper = DupString("w");
  tag.ringer = DupString("null");
  tag.smsMessage = DupString(std::string(5000, 's').c_str());  // longer than 4 KiB
  tag.fullSong = DupString("\xe9");
  saveTag(tag);
  EXPECT_FALSE(exists("7.jpg"));
  EXPECT_EQ(readFile("7.dat"),
            "A\0b\0\0\0\xe9\0\x34\xd8\x1e\xdd\0\0\0\0w\0null\0"s + std::string(5000, 's') + "\0\0\xe9\0"s);
  SongRecord loaded;
  ASSERT_TRUE(loadTag(loaded, L"7.dat"));
  EXPECT_EQ(Fields(&loaded), "Ab|\xc3\xa9\xf0\x9d\x84\x9e||(absent)|w|null|" + std::string(5000, 's') + "||\xe9");
  EXPECT_EQ(std::pair(loaded.tagNumber, loaded.albumArt), std::pair(7, static_cast<BYTE*>(nullptr)));
  // Created now: 100 ns units since 1601, so 2020 lies at about 1.32e17.
  EXPECT_GT(uint64_t{loaded.created.dwHighDateTime} << 32 | loaded.created.dwLowDateTime, 132223104000000000ULL);
}

TEST_F(TagStoreTest, DamagedFilesFailWithoutTouchingTheTagAndOddOnesReadSafely) {
  const struct {
    std::string name, bytes, fields;  // "" for a file that fails
  } cases[] = {
      {"1.dat", "a\0\0\0b\0\0\0"s, ""},                     // two of three UTF-16 terminators
      {"2.dat", "a\0\0\0b\0\0\0c\0\0\0w\0r\0s\0c\0"s, ""},  // four of five 8-bit terminators
      {"3.dat", "a\0\0"s, ""},                              // half a UTF-16 unit at the end
      {"4.dat", "", ""},
      {"5.dat", "a\0\0\0\0\0\0\0w\0r\0s\0c\0f\0"s + std::string(5000, 'x'), "a|||(absent)|w|r|s|c|f"},
      {"6.dat", "\x00\xd8x\0\0\0\x34\xd8\x1e\xdd\0\0\x1e\xdd\0\0\0\0\0\0\0"s,  // lone surrogates
       "\xef\xbf\xbdx|\xf0\x9d\x84\x9e|\xef\xbf\xbd|(absent)|||||"},
  };
  const SongRecord untouched = MakeTag(42);
  for (const auto& c : cases) {
    writeFile(c.name, c.bytes);
    SongRecord tag = untouched;
    EXPECT_EQ(loadTag(tag, std::wstring(c.name.begin(), c.name.end()).c_str()), !c.fields.empty()) << c.name;
    EXPECT_EQ(Fields(&tag), c.fields.empty() ? Fields(&untouched) : c.fields) << c.name;
    EXPECT_EQ(tag.tagNumber, c.fields.empty() ? 42 : std::stoi(c.name)) << c.name;
  }
  SongRecord tag;
  EXPECT_FALSE(loadTag(tag, L"missing.dat"));
}

TEST_F(TagStoreTest, NamesWithoutANumberCountButAreNeverPrunedOrListed) {
  writeFile("notes.dat", std::string(11, '\0'));  // a valid tag with every field empty
  SongRecord tag;
  ASSERT_TRUE(loadTag(tag, L"notes.dat"));
  EXPECT_EQ(tag.tagNumber, -1);
  for (const char* name : {"-3.dat", "abc.dat", "7x.dat", "100.dat", "5.dat", "5.jpg", "12.dat"}) writeFile(name, "");
  EXPECT_EQ(ListTagFilesNewestFirst(), (std::vector<std::wstring>{L"100.dat", L"12.dat", L"7x.dat", L"5.dat"}));
  deleteOldestTag();
  EXPECT_FALSE(exists("5.dat") || exists("5.jpg"));
  for (int i = 0; i < 7; ++i) writeFile("x" + std::to_string(i) + ".dat", "");
  saveTag(MakeTag(200));
  // Ten unnumbered files and the newest tag remain: every numbered one before it went.
  EXPECT_EQ(countTags(), 11);
  EXPECT_TRUE(exists("200.dat") && exists("notes.dat") && exists("-3.dat"));
  EXPECT_FALSE(exists("7x.dat") || exists("12.dat") || exists("100.dat"));
}

TEST_F(TagStoreTest, FilesThatCannotBeWrittenOrDeletedLoseNothingAndEndThePruning) {
  fs::create_directory(folder_ / "0.dat");  // cannot be deleted or replaced
  for (int i = 1; i <= 9; ++i) writeFile(std::to_string(i) + ".dat", "");
  saveTag(MakeTag(10));
  EXPECT_TRUE(fs::is_directory(folder_ / "0.dat") && !exists("1.dat") && exists("2.dat"));
  EXPECT_EQ(countTags(), 10);
  saveTag(MakeTag(0, "JPEG"));
  EXPECT_FALSE(exists("0.jpg") || exists("0.jpg.tmp") || exists("0.dat.tmp")) << "no art without its tag";

  // A folder that cannot be written (even as root: the test becomes nobody) loses nothing.
  fs::remove(folder_ / "0.dat");
  saveTag(MakeTag(2));
  const std::set<std::string> before = listing();
  const std::string tag2 = readFile("2.dat");
  fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const bool root = geteuid() == 0;
  ASSERT_TRUE(!root || seteuid(65534) == 0);
  const int32_t number = nextTagNumber();
  saveTag(MakeTag(number, "JPEG"));
  saveTag(MakeTag(2, "JPEG"));  // would replace tag 2
  deleteOldestTag();
  SongRecord loaded;
  const bool loads = loadTag(loaded, L"2.dat");
  ASSERT_TRUE(!root || seteuid(0) == 0);
  fs::permissions(folder_, fs::perms::owner_all);
  EXPECT_EQ(std::pair(number, loads), std::pair(11, true));
  EXPECT_EQ(listing(), before);
  EXPECT_EQ(readFile("2.dat"), tag2);
}

// 100-nanosecond units since 1601-01-01 UTC of a Unix time.
FILETIME FileTimeOf(std::int64_t unixSeconds) {
  const auto ticks = static_cast<std::uint64_t>((unixSeconds + 11644473600LL) * 10000000LL);
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

TEST(TagDate, MonthAndDayOfTheLocalDayWithoutLeadingZeros) {
  constexpr std::int64_t kJuly4Noon2026 = 1783166400;
  const struct {
    const char* zone;
    FILETIME time;
    const wchar_t* text;
  } cases[] = {
      {"UTC0", FileTimeOf(kJuly4Noon2026), L"7/4"},
      {"UTC0", FileTimeOf(kJuly4Noon2026 + 180 * 86400), L"12/31"},
      {"UTC0", FileTimeOf(kJuly4Noon2026 + 41400), L"7/4"},   // 23:30
      {"EET-2", FileTimeOf(kJuly4Noon2026 + 41400), L"7/5"},  // two hours east: already the fifth
      {"PST8", FileTimeOf(kJuly4Noon2026), L"7/4"},           // eight hours west of noon
      {"UTC0", FILETIME{0xFFFFFFFFu, 0xFFFFFFFFu}, L""},      // outside the calendar
  };
  const char* saved = std::getenv("TZ");
  const std::string savedZone = saved ? saved : "";
  for (const auto& c : cases) {
    setenv("TZ", c.zone, 1);
    tzset();
    EXPECT_EQ(TagDateText(c.time), c.text) << c.zone;
  }
  saved ? setenv("TZ", savedZone.c_str(), 1) : unsetenv("TZ");
  tzset();
}

}  // namespace
