#include "ident/reply_parser.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "app/log.h"
#include "app/strings.h"
#include "tags/tag_store.h"

namespace {

// The elements in the order they are looked for; exactly one of the two
// field pointers is set: a display text (wide) or a service text (8-bit).
struct Element {
  std::string_view open;
  std::string_view close;
  wchar_t* SongRecord::*wideField;
  char* SongRecord::*narrowField;
};

constexpr Element kElements[] = {
    {"<ALBUM>", "</ALBUM>", &SongRecord::album, nullptr},
    {"<ARTIST>", "</ARTIST>", &SongRecord::artist, nullptr},
    {"<TRACK_TITLE>", "</TRACK_TITLE>", &SongRecord::trackTitle, nullptr},
    {"<ALBUM_ART>", "</ALBUM_ART>", nullptr, &SongRecord::albumArtUrl},
    {"<WALLPAPER>", "</WALLPAPER>", nullptr, &SongRecord::wallpaper},
    {"<RINGER>", "</RINGER>", nullptr, &SongRecord::ringer},
    {"<SMS_MESSAGE>", "</SMS_MESSAGE>", nullptr, &SongRecord::smsMessage},
    {"<RECOMMEND>", "</RECOMMEND>", nullptr, &SongRecord::recommend},
    {"<FULL_SONG>", "</FULL_SONG>", nullptr, &SongRecord::fullSong},
};

// The text after the lead-in, up to its first zero byte or the end of the
// reply. A reply with no zero byte has no lead-in end and so no text.
std::string_view ReplyText(const char* reply, std::size_t length) {
  if (!reply) return {};
  const void* leadInEnd = std::memchr(reply, 0, length);
  if (!leadInEnd) return {};
  const std::size_t start = static_cast<std::size_t>(static_cast<const char*>(leadInEnd) - reply) + 4;
  if (start >= length) return {};
  const char* text = reply + start;
  const void* textEnd = std::memchr(text, 0, length - start);
  const std::size_t size =
      textEnd ? static_cast<std::size_t>(static_cast<const char*>(textEnd) - text) : length - start;
  return {text, size};
}

// The bytes between the first opening and the first closing marker, both
// searched from the start of the text; empty when either is missing or the
// closing marker begins before the opening one ends.
bool FindValue(std::string_view text, const Element& element, std::string_view* value) {
  const std::size_t open = text.find(element.open);
  const std::size_t close = text.find(element.close);
  if (open == std::string_view::npos || close == std::string_view::npos) return false;
  const std::size_t start = open + element.open.size();
  if (close < start) return false;
  *value = text.substr(start, close - start);
  return true;
}

}  // namespace

std::unique_ptr<SongRecord> parseReply(const char* reply, int length) {
  const std::string_view text = ReplyText(reply, length > 0 ? static_cast<std::size_t>(length) : 0);
  auto record = std::make_unique<SongRecord>();
  record->tagNumber = nextTagNumber();

  bool foundAny = false;
  for (const Element& element : kElements) {
    std::string_view value;
    if (FindValue(text, element, &value)) {
      foundAny = true;
      if (element.narrowField == &SongRecord::fullSong) LogMessage("**** GOT FULLSONG *********\r\n");
    }
    // The text ends at its first zero byte, so a value never holds one.
    const std::string bytes(value);
    if (element.wideField)
      record.get()->*element.wideField = AnsiToWide(bytes.c_str());
    else
      record.get()->*element.narrowField = DupString(bytes.c_str());
  }
  if (!foundAny) return nullptr;
  return record;
}
