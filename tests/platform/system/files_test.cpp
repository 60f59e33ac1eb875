// Folders, enumeration by pattern, deletion and file times.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "platform/system/files.h"
#include "tests/support/temp_folder.h"

namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder("melodex-files").string();
    ASSERT_FALSE(folder_.empty());
    wide_ = std::wstring(folder_.begin(), folder_.end());
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  void Touch(const std::string& name, const std::string& bytes = "x") { std::ofstream(folder_ + "/" + name) << bytes; }

  std::set<std::wstring> Find(const std::wstring& pattern) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((wide_ + pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      names.insert(data.cFileName);
    } while (FindNextFileW(find, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(find));
    return names;
  }

  std::string folder_;
  std::wstring wide_;
};

TEST_F(FilesTest, CreateDirectoryMakesParentsAndReportsAnExistingFolder) {
  const std::wstring nested = wide_ + L"/share/melodex";
  EXPECT_TRUE(CreateDirectoryW(nested.c_str(), nullptr));
  EXPECT_TRUE(std::filesystem::is_directory(folder_ + "/share/melodex"));
  SetLastError(0);
  EXPECT_FALSE(CreateDirectoryW(nested.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST_F(FilesTest, PatternsMatchTheLastComponentOnly) {
  Touch("0.dat");
  Touch("12.dat");
  Touch("old.DAT");
  Touch("0.jpg");
  Touch("nexttag.num");
  std::filesystem::create_directory(folder_ + "/sub.dat.d");
  EXPECT_EQ(Find(L"\\*.dat"), (std::set<std::wstring>{L"0.dat", L"12.dat", L"old.DAT"}))
      << "backslash separators, case-insensitive names";
  EXPECT_EQ(Find(L"/?.*"), (std::set<std::wstring>{L"0.dat", L"0.jpg"}));
  EXPECT_EQ(Find(L"/*").size(), 6u) << "no . or ..";

  WIN32_FIND_DATAW data;
  SetLastError(0);
  EXPECT_EQ(FindFirstFileW((wide_ + L"/*.wav").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(FindFirstFileW((wide_ + L"/missing/*.dat").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FilesTest, EnumerationReportsSizesAndAttributes) {
  Touch("3.dat", std::string(1234, 'a'));
  WIN32_FIND_DATAW data;
  const HANDLE find = FindFirstFileW((wide_ + L"/3.dat").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.nFileSizeLow, 1234u);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  FindClose(find);
}

TEST_F(FilesTest, DeleteRemovesAFileOnceAndUnicodeNamesWork) {
  Touch("Grüße.dat");
  const std::wstring path = wide_ + L"\\Grüße.dat";
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/Grüße.dat"));
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FilesTest, CreationTimeIsNowInUtc) {
  const time_t before = time(nullptr);
  Touch("5.dat");
  WIN32_FILE_ATTRIBUTE_DATA info{};
  ASSERT_TRUE(GetFileAttributesExW((wide_ + L"/5.dat").c_str(), GetFileExInfoStandard, &info));
  SYSTEMTIME st{};
  ASSERT_TRUE(FileTimeToSystemTime(&info.ftCreationTime, &st));
  tm now{};
  gmtime_r(&before, &now);
  EXPECT_EQ(st.wYear, now.tm_year + 1900);
  EXPECT_EQ(st.wMonth, now.tm_mon + 1);
  EXPECT_EQ(st.wDay, now.tm_mday);
  const int seconds = st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
  EXPECT_NEAR(seconds, now.tm_hour * 3600 + now.tm_min * 60 + now.tm_sec, 5);
  EXPECT_FALSE(GetFileAttributesExW((wide_ + L"/none.dat").c_str(), GetFileExInfoStandard, &info));
}

TEST(FileTimes, ConvertToSystemTimeAndLocalTime) {
  // 2024-02-29 13:45:30.250 UTC, a Thursday.
  const uint64_t ticks = (1709214330ull + 11644473600ull) * 10000000ull + 2500000ull;
  const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME st{};
  ASSERT_TRUE(FileTimeToSystemTime(&utc, &st));
  EXPECT_EQ(st.wYear, 2024);
  EXPECT_EQ(st.wMonth, 2);
  EXPECT_EQ(st.wDay, 29);
  EXPECT_EQ(st.wDayOfWeek, 4);
  EXPECT_EQ(st.wHour, 13);
  EXPECT_EQ(st.wMinute, 45);
  EXPECT_EQ(st.wSecond, 30);
  EXPECT_EQ(st.wMilliseconds, 250);

  const char* saved = getenv("TZ");
  const std::string savedZone = saved ? saved : "";
  setenv("TZ", "XST-12", 1);  // twelve hours east of UTC: the local date is March 1st
  tzset();
  FILETIME local{};
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
  ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
  EXPECT_EQ(st.wMonth, 3);
  EXPECT_EQ(st.wDay, 1);
  EXPECT_EQ(st.wHour, 1);
  saved ? setenv("TZ", savedZone.c_str(), 1) : unsetenv("TZ");
  tzset();
}

}  // namespace
