#include "ident/song_record.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "app/strings.h"

namespace {

template <typename T>
void FreeField(T*& field) {
  std::free(field);
  field = nullptr;
}

}  // namespace

SongRecord::SongRecord(const SongRecord& other) { copyFrom(other); }

SongRecord& SongRecord::operator=(const SongRecord& other) {
  if (this != &other) copyFrom(other);
  return *this;
}

SongRecord::~SongRecord() { release(); }

void SongRecord::copyFrom(const SongRecord& other) {
  if (this == &other) return;
  release();
  tagNumber = other.tagNumber;
  album = DupWideString(other.album);
  artist = DupWideString(other.artist);
  trackTitle = DupWideString(other.trackTitle);
  albumArtUrl = DupString(other.albumArtUrl);
  wallpaper = DupString(other.wallpaper);
  ringer = DupString(other.ringer);
  smsMessage = DupString(other.smsMessage);
  recommend = DupString(other.recommend);
  fullSong = DupString(other.fullSong);
  if (other.albumArt && other.albumArtSize > 0) {
    albumArt = static_cast<BYTE*>(std::malloc(static_cast<std::size_t>(other.albumArtSize)));
    if (albumArt) {
      std::memcpy(albumArt, other.albumArt, static_cast<std::size_t>(other.albumArtSize));
      albumArtSize = other.albumArtSize;
    }
  }
  created = other.created;
}

void SongRecord::release() {
  FreeField(album);
  FreeField(artist);
  FreeField(trackTitle);
  FreeField(albumArtUrl);
  FreeField(wallpaper);
  FreeField(ringer);
  FreeField(smsMessage);
  FreeField(recommend);
  FreeField(fullSong);
  FreeField(albumArt);
  albumArtSize = 0;
}

bool IsFieldPresent(const char* value) {
  return value && *value && std::strcmp(value, "null") != 0;
}

bool IsFieldPresent(const wchar_t* value) {
  return value && *value && std::wcscmp(value, L"null") != 0;
}
