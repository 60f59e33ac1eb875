// Replies, as the service or something else sends them, and the song each
// becomes: a table of bodies and the nine fields they fill.
#include "ident/reply_parser.h"

#include <vector>

#include "tags/tag_store.h"
#include "tests/tags/data_folder_fixture.h"

namespace {

using namespace std::string_literals;

// A lead-in as the service sends it: "OK", a zero byte and three more bytes.
const std::string kLeadIn = "OK\0\0\0\0"s;

using ReplyParserTest = DataFolderTest;

TEST_F(ReplyParserTest, EachReplyFillsTheFieldsOfItsElements) {
  // The reply fills the handler's 100000 bytes with no zero after the text.
  std::string full = kLeadIn + "<ARTIST>A</ARTIST>";
  full += std::string(100000 - full.size() - 28, ' ') + "<TRACK_TITLE>T</TRACK_TITLE>";
  const struct {
    std::string body, fields;
  } cases[] = {
      {"\x4F\x4B\0\0\0\0<ARTIST>X</ARTIST>"s, "|X|||||||"},
      {kLeadIn + "<ALBUM_ART>http://art/1.jpg</ALBUM_ART>\r\n<ALBUM>Blue</ALBUM><ARTIST>Joni</ARTIST>"
                 "<TRACK_TITLE>River</TRACK_TITLE><WALLPAPER>w</WALLPAPER><RINGER>null</RINGER>"
                 "<SMS_MESSAGE>Hear this</SMS_MESSAGE><RECOMMEND>r</RECOMMEND><FULL_SONG>f</FULL_SONG><OTHER>x</OTHER>",
       "Blue|Joni|River|http://art/1.jpg|w|null|Hear this|r|f"},
      // The lead-in: up to a zero byte and three more; the text ends at its first zero byte.
      {"\0abc<ALBUM>A</ALBUM>"s, "A||||||||"},
      {"\0<ALBUM>A</ALBUM>"s, "none"},
      {"<ALBUM>A</ALBUM>", "none"},
      {"OK\0<A"s, "none"},
      {kLeadIn + "<ALBUM>A</ALBUM>\0<ARTIST>B</ARTIST>"s, "A||||||||"},
      // Values byte for byte; names from UTF-8, else Windows-1252.
      {kLeadIn + "<ALBUM>  two\r\nlines &amp; </ALBUM><SMS_MESSAGE> caf\xe9\x80 </SMS_MESSAGE>",
       "  two\r\nlines &amp; |||||| caf\xe9\x80 ||"},
      {kLeadIn + "<ALBUM>\xc3\xa9\xc3\xbc \xe6\x97\xa5\xe6\x9c\xac</ALBUM><ARTIST>Beyonc\xe9 \x80</ARTIST>",
       "\xc3\xa9\xc3\xbc \xe6\x97\xa5\xe6\x9c\xac|Beyonc\xc3\xa9 \xe2\x82\xac|||||||"},
      // Markers match exactly, the first occurrence counts, a closing one before the opening one is none.
      {kLeadIn + "<ALBUM_ART>null</ALBUM_ART><ALBUM>a1</ALBUM><ALBUM>a2</ALBUM>", "a1|||null|||||"},
      {kLeadIn + "<ALBUM_ART>u</ALBUM_ART>", "|||u|||||"},
      {kLeadIn + "<artist>x</artist><Album>y</Album>", "none"},
      {kLeadIn + "</ARTIST>x<ARTIST>y</ARTIST><ALBUM>a</ALBUM>", "a||||||||"},
      {kLeadIn + "</RINGER><RINGER>r</RINGER>", "none"},
      {kLeadIn + "<RINGER></RING", "none"},
      {kLeadIn + "<RINGER></RINGER>", "||||||||"},
      {kLeadIn + "<HTML>Service unavailable</HTML>", "none"},
      {std::string(64, '\0'), "none"},
      {"", "none"},
      {kLeadIn + "<FULL_SONG>http://store/full</FULL_SONG>", "||||||||http://store/full"},
      {full, "|A|T||||||"},
      {full.substr(0, full.size() - 1), "|A|||||||"},  // a marker cut off by the end is missing
      {std::string(100000, 'x'), "none"},
  };
  int32_t number = 0;
  for (const auto& c : cases) {
    // Exactly the bytes given, in a block of their size: a read past the end shows under the address sanitizer.
    const std::vector<char> body(c.body.begin(), c.body.end());
    const std::unique_ptr<SongRecord> song = parseReply(body.data(), static_cast<int>(body.size()));
    EXPECT_EQ(Fields(song.get()), c.fields) << c.body.substr(0, 80);
    if (song) {
      EXPECT_EQ(song->tagNumber, number);
      EXPECT_EQ(song->albumArt, nullptr);
    }
    ++number;
  }
  EXPECT_FALSE(parseReply(nullptr, 10));
  EXPECT_EQ(nextTagNumber(), number + 1) << "every reply takes a tag number, with a song or without";
  EXPECT_EQ(logText(), "**** GOT FULLSONG *********\r\n**** GOT FULLSONG *********\r\n");
}

}  // namespace
