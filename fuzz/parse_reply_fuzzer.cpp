// Arbitrary bytes as the service's reply. Whatever the parser makes of them
// must have every text field set, and must come back unchanged from the tag
// store after a save.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "ident/reply_parser.h"
#include "tags/tag_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UsePrivateDataFolder();
  // A block of exactly the reply's size, so that any read past it is caught.
  const std::vector<char> reply(data, data + size);
  const std::unique_ptr<SongRecord> song = parseReply(reply.data(), static_cast<int>(reply.size()));
  if (!song) return 0;

  Require(song->album && song->artist && song->trackTitle && song->albumArtUrl && song->wallpaper &&
          song->ringer && song->smsMessage && song->recommend && song->fullSong);
  Require(song->tagNumber >= 0 && !song->albumArt && song->albumArtSize == 0);

  saveTag(*song);
  SongRecord loaded;
  Require(loadTag(loaded, (std::to_wstring(song->tagNumber) + L".dat").c_str()));
  Require(loaded.tagNumber == song->tagNumber && SameStoredFields(*song, loaded));
  deleteTag(*song);
  return 0;
}
