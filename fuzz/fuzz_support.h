// Shared by the fuzz targets: a private data folder and field checks.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>

#include "ident/song_record.h"
#include "platform/system/paths.h"

// Points the store at a fresh temporary folder, once per process, and
// removes it at exit, so a fuzz run never touches a real data folder.
inline void UsePrivateDataFolder() {
  static const bool ready = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "melodex-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    SetDataFolder(pattern);
    static const std::string folder = pattern;
    std::atexit([] { std::filesystem::remove_all(folder); });
    return true;
  }();
  (void)ready;
}

inline bool SameText(const wchar_t* a, const wchar_t* b) { return a && b && std::wcscmp(a, b) == 0; }
inline bool SameText(const char* a, const char* b) { return a && b && std::strcmp(a, b) == 0; }

// The eight fields a tag file holds.
inline bool SameStoredFields(const SongRecord& a, const SongRecord& b) {
  return SameText(a.album, b.album) && SameText(a.artist, b.artist) && SameText(a.trackTitle, b.trackTitle) &&
         SameText(a.wallpaper, b.wallpaper) && SameText(a.ringer, b.ringer) &&
         SameText(a.smsMessage, b.smsMessage) && SameText(a.recommend, b.recommend) &&
         SameText(a.fullSong, b.fullSong);
}

// Stops the run with a crash report that libFuzzer keeps as an artifact.
inline void Require(bool condition) {
  if (!condition) __builtin_trap();
}
