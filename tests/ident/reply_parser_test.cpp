#include "ident/reply_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tags/tag_store.h"
#include "tests/tags/data_folder_fixture.h"

namespace {

using namespace std::string_literals;

// A lead-in as the service sends it: "OK", a zero byte and three more bytes.
const std::string kLeadIn = "OK\0\0\0\0"s;

class ReplyParserTest : public DataFolderTest {
 protected:
  // Parses exactly the bytes given, from a block of exactly their size, so
  // that any read past the end shows under the address sanitizer.
  std::unique_ptr<SongRecord> parse(const std::string& body) {
    const std::vector<char> buffer(body.begin(), body.end());
    return parseReply(buffer.data(), static_cast<int>(buffer.size()));
  }
};

TEST_F(ReplyParserTest, SingleElementFillsItsFieldAndLeavesTheOthersEmpty) {
  const auto song = parse("\x4F\x4B\0\0\0\0<ARTIST>X</ARTIST>"s);
  ASSERT_TRUE(song);
  EXPECT_EQ(song->tagNumber, 0);
  EXPECT_STREQ(song->artist, L"X");
  for (const wchar_t* field : {song->album, song->trackTitle}) EXPECT_STREQ(field, L"");
  for (const char* field : {song->albumArtUrl, song->wallpaper, song->ringer, song->smsMessage, song->recommend,
                            song->fullSong})
    EXPECT_STREQ(field, "");
  EXPECT_EQ(song->albumArt, nullptr);
  EXPECT_EQ(song->created.dwLowDateTime, 0u);
}

TEST_F(ReplyParserTest, EveryElementGoesToItsField) {
  const auto song = parse(kLeadIn +
                          "<ALBUM_ART>http://art/1.jpg</ALBUM_ART>\r\n<ALBUM>Blue</ALBUM><ARTIST>Joni</ARTIST>"
                          "<TRACK_TITLE>River</TRACK_TITLE><WALLPAPER>w</WALLPAPER><RINGER>null</RINGER>"
                          "<SMS_MESSAGE>Hear this</SMS_MESSAGE><RECOMMEND>r</RECOMMEND><FULL_SONG>f</FULL_SONG>"
                          "<OTHER>ignored</OTHER>");
  ASSERT_TRUE(song);
  EXPECT_STREQ(song->album, L"Blue");
  EXPECT_STREQ(song->artist, L"Joni");
  EXPECT_STREQ(song->trackTitle, L"River");
  EXPECT_STREQ(song->albumArtUrl, "http://art/1.jpg");
  EXPECT_STREQ(song->wallpaper, "w");
  EXPECT_STREQ(song->ringer, "null");
  EXPECT_STREQ(song->smsMessage, "Hear this");
  EXPECT_STREQ(song->recommend, "r");
  EXPECT_STREQ(song->fullSong, "f");
  EXPECT_EQ(logText(), "**** GOT FULLSONG *********\r\n");
}

TEST_F(ReplyParserTest, LeadInRule) {
  // First byte zero: the text starts at offset 4.
  auto song = parse("\0abc<ALBUM>A</ALBUM>"s);
  ASSERT_TRUE(song);
  EXPECT_STREQ(song->album, L"A");
  EXPECT_FALSE(parse("\0<ALBUM>A</ALBUM>"s));   // the marker lies inside the lead-in
  EXPECT_FALSE(parse("<ALBUM>A</ALBUM>"s));     // no zero byte: no lead-in end, no text
  EXPECT_FALSE(parse("OK\0<A"s));               // the lead-in runs past the end
  // The text ends at its first zero byte.
  song = parse(kLeadIn + "<ALBUM>A</ALBUM>\0<ARTIST>B</ARTIST>"s);
  ASSERT_TRUE(song);
  EXPECT_STREQ(song->artist, L"");
}

TEST_F(ReplyParserTest, ValuesAreTakenByteForByte) {
  const auto song = parse(kLeadIn + "<ALBUM>  two\r\nlines &amp; </ALBUM><SMS_MESSAGE> caf\xe9\x80 </SMS_MESSAGE>");
  ASSERT_TRUE(song);
  EXPECT_STREQ(song->album, L"  two\r\nlines &amp; ");
  EXPECT_STREQ(song->smsMessage, " caf\xe9\x80 ");
}

TEST_F(ReplyParserTest, DisplayTextsDecodeUtf8ElseWindows1252) {
  const auto song = parse(kLeadIn +
                          "<ALBUM>\xc3\xa9\xc3\xbc \xe6\x97\xa5\xe6\x9c\xac</ALBUM>"  // UTF-8 éü 日本
                          "<ARTIST>Beyonc\xe9 \x80</ARTIST>");                         // Windows-1252 é €
  ASSERT_TRUE(song);
  EXPECT_STREQ(song->album, L"\u00e9\u00fc \u65e5\u672c");
  EXPECT_STREQ(song->artist, L"Beyonc\u00e9 \u20ac");
}

TEST_F(ReplyParserTest, MarkersMatchExactlyAndOnlyTheFirstOccurrenceCounts) {
  auto song = parse(kLeadIn + "<ALBUM_ART>null</ALBUM_ART><ALBUM>a1</ALBUM><ALBUM>a2</ALBUM>");
  ASSERT_TRUE(song);
  EXPECT_STREQ(song->album, L"a1");
  EXPECT_STREQ(song->albumArtUrl, "null");

  // Only ALBUM_ART present: ALBUM must not match inside it.
  song = parse(kLeadIn + "<ALBUM_ART>u</ALBUM_ART>");
  ASSERT_TRUE(song);
  EXPECT_STREQ(song->album, L"");

  EXPECT_FALSE(parse(kLeadIn + "<artist>x</artist><Album>y</Album>"));
}

TEST_F(ReplyParserTest, ClosingMarkerBeforeOpeningCountsAsMissing) {
  auto song = parse(kLeadIn + "</ARTIST>x<ARTIST>y</ARTIST><ALBUM>a</ALBUM>");
  ASSERT_TRUE(song);
  EXPECT_STREQ(song->artist, L"");
  EXPECT_FALSE(parse(kLeadIn + "</RINGER><RINGER>r</RINGER>"));
  EXPECT_FALSE(parse(kLeadIn + "<RINGER></RINGER>"s.substr(0, 14)));  // "<RINGER></RING"
  song = parse(kLeadIn + "<RINGER></RINGER>");  // empty but found
  ASSERT_TRUE(song);
  EXPECT_STREQ(song->ringer, "");
}

TEST_F(ReplyParserTest, RepliesWithoutElementsStillUseUpATagNumber) {
  EXPECT_FALSE(parse(kLeadIn + "<HTML>Service unavailable</HTML>"));
  EXPECT_FALSE(parse(std::string(64, '\0')));
  EXPECT_FALSE(parse(""));
  EXPECT_FALSE(parseReply(nullptr, 10));
  EXPECT_EQ(nextTagNumber(), 4);
}

TEST_F(ReplyParserTest, OnlyFullSongIsEnoughAndIsLogged) {
  const auto song = parse(kLeadIn + "<FULL_SONG>http://store/full</FULL_SONG>");
  ASSERT_TRUE(song);
  EXPECT_STREQ(song->fullSong, "http://store/full");
  EXPECT_EQ(logText(), "**** GOT FULLSONG *********\r\n");
}

TEST_F(ReplyParserTest, FullReplyBufferWithoutTerminator) {
  // The reply fills the handler's 100000 bytes with no zero after the text.
  std::string body = kLeadIn + "<ARTIST>A</ARTIST>";
  const std::string tail = "<TRACK_TITLE>T</TRACK_TITLE>";
  body += std::string(100000 - body.size() - tail.size(), ' ') + tail;
  ASSERT_EQ(body.size(), 100000u);
  auto song = parse(body);
  ASSERT_TRUE(song);
  EXPECT_STREQ(song->trackTitle, L"T");

  // A marker cut off by the end of the buffer is missing.
  body.resize(body.size() - 1);
  song = parse(body);
  ASSERT_TRUE(song);
  EXPECT_STREQ(song->trackTitle, L"");

  // No zero byte at all: no text, nothing read past the end.
  EXPECT_FALSE(parse(std::string(100000, 'x')));
  EXPECT_FALSE(parse(std::string(100000, '\0')));
}

}  // namespace
