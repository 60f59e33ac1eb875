// The settings file as the registry key SOFTWARE\Melodex, files and folders,
// and starting a program (file times as local dates are in tests/tags).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "platform/system/errors.h"
#include "platform/system/files.h"
#include "platform/system/paths.h"
#include "platform/system/registry.h"
#include "platform/system/shell.h"
#include "tests/support/headless_app.h"

namespace fs = std::filesystem;

namespace {

class SystemTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(folder_); }

  LONG open(const std::string& settings) {
    SetSettingsFile((folder_ / "settings.toml").string());
    std::ofstream(folder_ / "settings.toml") << settings;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Melodex", 0, KEY_READ, &key_);
  }
  // Queries into a buffer of `size` bytes (none when 0); the size reported goes to *size.
  LONG query(const wchar_t* name, void* buffer, DWORD bytes, DWORD* type, DWORD* size) {
    *size = bytes;
    return RegQueryValueExW(key_, name, nullptr, type, static_cast<BYTE*>(bytes ? buffer : nullptr), size);
  }
  std::set<std::wstring> find(const std::wstring& pattern) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW data;
    const HANDLE found = FindFirstFileW((folder_.wstring() + pattern).c_str(), &data);
    if (found == INVALID_HANDLE_VALUE) return names;
    do names.insert(data.cFileName);
    while (FindNextFileW(found, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(found));
    return names;
  }

  const fs::path folder_ = MakeTempFolder("melodex-system");
  HKEY key_ = nullptr;
};

BOOL Launch(const std::wstring& file, const wchar_t* parameters) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = 60;
  info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = file.c_str();
  info.lpParameters = parameters;
  return ShellExecuteExW(&info);
}

// Polls for at most two seconds: a bound for a loaded machine.
bool WaitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 200 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return condition();
}

TEST_F(SystemTest, RegistryTypesSizesAndDataAsWin32ReportsThemMissingOrMalformedKeysThenFilesAndPrograms) {
  SetSettingsFile((folder_ / "none.toml").string());
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Melodex", 0, KEY_READ, &key_), ERROR_FILE_NOT_FOUND);
  testing::internal::CaptureStderr();
  EXPECT_EQ(open("ownerID = \"1234\"\nconnPriority = = 5\n"), ERROR_INVALID_DATA);
  const std::string message = testing::internal::GetCapturedStderr();
  EXPECT_NE(message.find((folder_ / "settings.toml").string() + ": line 2"), std::string::npos) << message;
  EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
  ASSERT_EQ(open("ownerID = \"1\"\n"), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key_), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key_), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Other", 0, KEY_READ, &key_), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(nullptr, L"SOFTWARE\\Melodex", 0, KEY_READ, &key_), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\melodex", 0, KEY_READ, &key_), ERROR_SUCCESS);
  // An open key keeps what it read; the next open sees the change.
  ASSERT_EQ(open("connLingerTime = 1\n"), ERROR_SUCCESS);
  const HKEY older = key_;
  ASSERT_EQ(open("connLingerTime = 7\n"), ERROR_SUCCESS);
  for (const auto& [key, expected] : {std::pair(older, 1u), std::pair(key_, 7u)}) {
    DWORD value = 0, size = 4;
    RegQueryValueExW(key, L"connLingerTime", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    EXPECT_EQ(value, expected);
  }

  ASSERT_EQ(open("ownerID = \"Gr\xC3\xBC\xC3\x9F" "e\"\nconnPriority = 32768\nnegative = -1\nwide = 5000000000\n"
                 "connExclusive = true\nlist = [1, 2]\nfits = \"" + std::string(127, 'a') + "\"\ntoolong = \"" +
                 std::string(128, 'b') + "\"\n"),
            ERROR_SUCCESS);
  const struct {
    const wchar_t* name;
    DWORD bufferBytes;
    LONG status;
    DWORD type;
    DWORD size;  // reported: the data's size, or the size needed
  } table[] = {
      {L"ownerID", 0, ERROR_SUCCESS, REG_SZ, 6 * sizeof(WCHAR)},  // five characters and the terminator
      {L"connPriority", 4, ERROR_SUCCESS, REG_DWORD, 4},
      {L"CONNPRIORITY", 4, ERROR_SUCCESS, REG_DWORD, 4},  // names ignore case
      {L"negative", 4, ERROR_SUCCESS, REG_DWORD, 4},
      {L"wide", 8, ERROR_SUCCESS, REG_QWORD, 8},
      {L"connExclusive", 4, ERROR_SUCCESS, REG_NONE, 0},
      {L"list", 4, ERROR_SUCCESS, REG_NONE, 0},
      {L"fits", 128 * sizeof(WCHAR), ERROR_SUCCESS, REG_SZ, 128 * sizeof(WCHAR)},
      {L"toolong", 128 * sizeof(WCHAR), ERROR_MORE_DATA, REG_SZ, 129 * sizeof(WCHAR)},
      {L"fits", 2, ERROR_MORE_DATA, REG_SZ, 128 * sizeof(WCHAR)},
      {L"connNetName", 4, ERROR_FILE_NOT_FOUND, 99, 4},
  };
  for (const auto& e : table) {
    SCOPED_TRACE(e.name);
    WCHAR buffer[130] = {L'x'};
    DWORD type = 99, size = 0;
    EXPECT_EQ(query(e.name, buffer, e.bufferBytes, &type, &size), e.status);
    EXPECT_EQ(std::make_pair(type, size), std::make_pair(e.type, e.size));
    if (e.status == ERROR_MORE_DATA) {
      EXPECT_EQ(buffer[0], L'x') << "nothing copied";
    }
  }
  WCHAR text[16];
  std::uint64_t number = 0;
  DWORD type = 0, size = 0;
  query(L"ownerID", text, sizeof text, &type, &size);
  EXPECT_EQ(std::wstring(text), L"Gr\u00FC\u00DFe");
  query(L"negative", &number, 4, &type, &size);
  EXPECT_EQ(number, 0xFFFFFFFFu);
  query(L"wide", &number, 8, &type, &size);
  EXPECT_EQ(number, 5000000000u);

  // Folders, patterns, sizes, creation times and deletion; then a program started with one unsplit argument.
  const time_t before = time(nullptr);
  const std::wstring nested = folder_.wstring() + L"/share/melodex";
  EXPECT_TRUE(CreateDirectoryW(nested.c_str(), nullptr)) << "parents are made too";
  EXPECT_FALSE(CreateDirectoryW(nested.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  for (const char* name : {"0.dat", "12.dat", "old.DAT", "0.jpg", "nexttag.num", "Gr\xC3\xBC\xC3\x9F" "e.dat"})
    std::ofstream(folder_ / name) << "x";
  std::ofstream(folder_ / "3.dat") << std::string(1234, 'a');
  EXPECT_EQ(find(L"\\*.dat"), (std::set<std::wstring>{L"0.dat", L"12.dat", L"3.dat", L"old.DAT", L"Gr\u00FC\u00DFe.dat"}))
      << "backslash separators, names matched without case";
  EXPECT_EQ(find(L"/?.*"), (std::set<std::wstring>{L"0.dat", L"0.jpg", L"3.dat"}));
  EXPECT_EQ(find(L"/*").size(), 9u) << "the folder share and settings.toml, and no . or ..";
  WIN32_FIND_DATAW data{};
  FindClose(FindFirstFileW((folder_.wstring() + L"/3.dat").c_str(), &data));
  EXPECT_EQ(std::make_pair(data.nFileSizeLow, data.dwFileAttributes), std::make_pair(1234u, DWORD{FILE_ATTRIBUTE_NORMAL}));
  for (const auto& [pattern, error] : {std::pair(L"/*.wav", ERROR_FILE_NOT_FOUND), std::pair(L"/missing/*.dat", ERROR_PATH_NOT_FOUND)}) {
    EXPECT_EQ(FindFirstFileW((folder_.wstring() + pattern).c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(error)) << pattern;
  }
  WIN32_FILE_ATTRIBUTE_DATA info{};
  ASSERT_TRUE(GetFileAttributesExW((folder_ / "3.dat").wstring().c_str(), GetFileExInfoStandard, &info));
  EXPECT_FALSE(GetFileAttributesExW((folder_ / "none.dat").wstring().c_str(), GetFileExInfoStandard, &info));
  SYSTEMTIME st{};
  ASSERT_TRUE(FileTimeToSystemTime(&info.ftCreationTime, &st));
  using namespace std::chrono;
  const sys_seconds created = sys_days(year(st.wYear) / st.wMonth / st.wDay) + hours(st.wHour) +
                              minutes(st.wMinute) + seconds(st.wSecond);
  EXPECT_NEAR(double(created.time_since_epoch().count()), double(before), 5) << "created now, in UTC";
  const std::wstring path = folder_.wstring() + L"\\Gr\u00FC\u00DFe.dat";
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(fs::exists(folder_ / "Gr\xC3\xBC\xC3\x9F" "e.dat"));
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // A program starts with one unsplit argument and is reaped.
  const fs::path output = folder_ / "arguments";
  std::ofstream(folder_ / "browser") << "#!/bin/sh\nprintf '%s\\n%s\\n' \"$#\" \"$1\" > " << output.string()
                                     << ".tmp\nmv " << output.string() << ".tmp " << output.string() << "\n";
  chmod((folder_ / "browser").c_str(), 0755);
  const wchar_t* address = L"http://shop.example/buy?song=Blue Moon&artist=\"The Band\" 'x' $HOME";
  ASSERT_TRUE(Launch((folder_ / "browser").wstring(), address));
  ASSERT_TRUE(WaitFor([&] { return fs::exists(output); }));
  EXPECT_EQ(ReadFile(output), "1\nhttp://shop.example/buy?song=Blue Moon&artist=\"The Band\" 'x' $HOME\n");
  EXPECT_TRUE(Launch(L"true", nullptr)) << "found on the PATH";
  siginfo_t child{};
  EXPECT_TRUE(WaitFor([&] { return waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD; }))
      << "every child is reaped";
  SetLastError(0);
  EXPECT_FALSE(Launch(L"melodex-no-such-browser", L"http://127.0.0.1/"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(Launch(L"", nullptr));
}

}  // namespace
