// The tag store: the most recent identified songs, kept as files in the data
// folder. The folder and its files are the store's only state.
//
//   N.dat        one tag: album, artist and trackTitle as UTF-16LE code units,
//                each followed by a 0x0000 unit, then wallpaper, ringer,
//                smsMessage, recommend and fullSong as their 8-bit bytes, each
//                followed by a 0x00 byte. Nothing else: no header, no counts.
//   N.jpg        the tag's album art exactly as downloaded (only if it had any).
//   nexttag.num  the next tag number, 4 bytes, 32-bit little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ident/song_record.h"

// The store keeps at most this many tags; saveTag prunes the oldest.
constexpr int kMaxTags = 10;

// "<DataFolder>/<n>.dat" and "<DataFolder>/<n>.jpg", 8-bit and wide.
std::string TagDataPath(int32_t tagNumber);
std::string TagArtPath(int32_t tagNumber);
std::wstring TagDataPathW(int32_t tagNumber);
std::wstring TagArtPathW(int32_t tagNumber);

// Hands out the next tag number and advances the counter file. Never lower
// than one past the highest tag on disk, so a new tag never replaces an older
// one even when the counter file is missing or damaged; an empty store
// starts at 0.
int32_t nextTagNumber();

// Writes N.dat (and N.jpg when the tag has album art), each replacing the old
// file in one step so that no half-written tag is ever left behind, then prunes
// the store to kMaxTags tags. The tag just saved is never pruned.
void saveTag(const SongRecord& tag);

// Reads the tag file `fileName` (a bare name such as L"12.dat", as the *.dat
// enumeration gives it) into `tag`: tagNumber from the name's leading number
// (-1 without one), created from the file's creation time, the eight stored
// fields, albumArtUrl absent and no album art. Returns false, leaving `tag`
// untouched, when the file does not open or a field does not end inside it.
bool loadTag(SongRecord& tag, const wchar_t* fileName);

// Deletes N.dat and N.jpg of the tag's number; a missing file is no error.
void deleteTag(const SongRecord& tag);

// The names of the tag files that carry a number that is not negative,
// highest number first; names of one number keep the file system's order.
std::vector<std::wstring> ListTagFilesNewestFirst();

// The number of *.dat entries in the data folder, whatever their names.
int countTags();

// Deletes the .dat and .jpg of the lowest-numbered tag (names without a
// number and negative numbers are never chosen).
void deleteOldestTag();
