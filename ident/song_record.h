// One identified song (a "tag"): the reply parser fills it, the searching
// screen adds the album art, the tag store writes it to files and reads it
// back, and the screens that show it each keep their own deep copy.
#pragma once

#include <cstdint>

#include "platform/types.h"

class SongRecord {
 public:
  // Every text field absent, no album art, tagNumber and created 0.
  SongRecord() = default;
  // Deep copy: every string and the album art get blocks of their own.
  SongRecord(const SongRecord& other);
  SongRecord& operator=(const SongRecord& other);
  ~SongRecord();

  void copyFrom(const SongRecord& other);
  // Releases every text field and the album art and marks each absent.
  void release();

  int32_t tagNumber = 0;
  // Display texts (wide); each is a malloc block or null.
  wchar_t* album = nullptr;
  wchar_t* artist = nullptr;
  wchar_t* trackTitle = nullptr;
  // The service's 8-bit texts, byte for byte; each is a malloc block or null.
  char* albumArtUrl = nullptr;
  char* wallpaper = nullptr;
  char* ringer = nullptr;
  char* smsMessage = nullptr;
  char* recommend = nullptr;
  char* fullSong = nullptr;
  // The album-cover JPEG, a malloc block of albumArtSize bytes, or null and 0.
  BYTE* albumArt = nullptr;
  int32_t albumArtSize = 0;
  // When the tag was stored: set only when it is read back from its file.
  FILETIME created{0, 0};
};

// The service writes the text "null" for an element that has nothing to say.
// A field counts as present only when it exists, is not empty and is not
// exactly "null" ("NULL" or "nullx" are present). Every screen asks here.
bool IsFieldPresent(const char* value);
bool IsFieldPresent(const wchar_t* value);
