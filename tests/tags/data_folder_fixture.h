// A fresh, empty data folder for each test, and the log captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "app/log.h"
#include "app/strings.h"
#include "ident/song_record.h"
#include "platform/system/paths.h"
#include "tests/support/headless_app.h"
#include "tests/support/temp_folder.h"

// A record's text fields, names in UTF-8, joined by "|"; "none" for no record.
inline std::string Fields(const SongRecord* song) {
  if (!song) return "none";
  std::string joined;
  for (const wchar_t* name : {song->album, song->artist, song->trackTitle}) {
    char* utf8 = WideToAnsi(name);
    joined += std::string(utf8 ? utf8 : "(absent)") + "|";
    std::free(utf8);
  }
  for (const char* text : {song->albumArtUrl, song->wallpaper, song->ringer, song->smsMessage, song->recommend})
    joined += std::string(text ? text : "(absent)") + "|";
  return joined + (song->fullSong ? song->fullSong : "(absent)");
}

class DataFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder("melodex-tags");
    ASSERT_FALSE(folder_.empty());
    SetDataFolder(folder_.string());
    savedLog_ = g_fpLog;
    g_fpLog = log_ = std::tmpfile();
  }
  void TearDown() override {
    g_fpLog = savedLog_;
    if (log_) std::fclose(log_);
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all);
    std::filesystem::remove_all(folder_);
  }

  bool exists(const std::string& name) const { return std::filesystem::exists(folder_ / name); }
  std::string readFile(const std::string& name) const { return ReadFile(folder_ / name); }
  void writeFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(folder_ / name, std::ios::binary) << bytes;
  }
  std::set<std::string> listing() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) names.insert(entry.path().filename());
    return names;
  }
  std::string logText() const {
    std::fflush(log_);
    return ReadFile("/proc/self/fd/" + std::to_string(fileno(log_)));
  }

  std::filesystem::path folder_;

 private:
  FILE* log_ = nullptr;
  FILE* savedLog_ = nullptr;
};
