// A fresh, empty data folder for each test and a capture of the log.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "app/log.h"
#include "platform/system/paths.h"
#include "tests/support/temp_folder.h"

class DataFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder("melodex-tags");
    ASSERT_FALSE(folder_.empty());
    SetDataFolder(folder_.string());
    log_ = std::tmpfile();
    savedLog_ = g_fpLog;
    g_fpLog = log_;
  }

  void TearDown() override {
    g_fpLog = savedLog_;
    if (log_) std::fclose(log_);
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all);
    std::filesystem::remove_all(folder_);
  }

  std::filesystem::path path(const std::string& name) const { return folder_ / name; }

  bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }

  std::string readFile(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  void writeFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }

  // The names in the data folder, sorted.
  std::set<std::string> listing() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_))
      names.insert(entry.path().filename().string());
    return names;
  }

  std::string logText() const {
    std::fflush(log_);
    std::rewind(log_);
    std::string text;
    for (int c; (c = std::fgetc(log_)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
  }

  std::filesystem::path folder_;

 private:
  FILE* log_ = nullptr;
  FILE* savedLog_ = nullptr;
};
