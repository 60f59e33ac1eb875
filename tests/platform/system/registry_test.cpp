// The settings file read as the registry key SOFTWARE\Melodex.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/system/paths.h"
#include "platform/system/registry.h"
#include "tests/support/temp_folder.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder("melodex-registry").string();
    ASSERT_FALSE(folder_.empty());
    SetSettingsFile(folder_ + "/settings.toml");
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  void Write(const std::string& text) { std::ofstream(folder_ + "/settings.toml") << text; }

  LONG Open(HKEY* key) { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Melodex", 0, KEY_READ, key); }

  std::string folder_;
};

TEST_F(RegistryTest, MissingFileIsAMissingKey) {
  HKEY key = nullptr;
  EXPECT_EQ(Open(&key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
}

TEST_F(RegistryTest, MalformedFileIsInvalidDataWithFileAndLineOnStderr) {
  Write("ownerID = \"1234\"\nconnPriority = = 5\n");
  HKEY key = nullptr;
  testing::internal::CaptureStderr();
  EXPECT_EQ(Open(&key), ERROR_INVALID_DATA);
  const std::string message = testing::internal::GetCapturedStderr();
  EXPECT_NE(message.find(folder_ + "/settings.toml"), std::string::npos) << message;
  EXPECT_NE(message.find("line 2"), std::string::npos) << message;
  EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
}

TEST_F(RegistryTest, OnlyTheMelodexKeyUnderLocalMachineExists) {
  Write("ownerID = \"1\"\n");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Other", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(nullptr, L"SOFTWARE\\Melodex", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\melodex", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, TypesSizesAndDataAsWin32ReportsThem) {
  Write(
      "ownerID = \"Grüße\"\n"
      "connPriority = 32768\n"
      "negative = -1\n"
      "wide = 5000000000\n"
      "connExclusive = true\n"
      "list = [1, 2]\n");
  HKEY key = nullptr;
  ASSERT_EQ(Open(&key), ERROR_SUCCESS);

  DWORD type = 99, size = 0;
  ASSERT_EQ(RegQueryValueExW(key, L"ownerID", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 6 * sizeof(WCHAR)) << "five characters and the terminator";
  WCHAR text[16];
  size = sizeof(text);
  ASSERT_EQ(RegQueryValueExW(key, L"ownerID", nullptr, &type, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(text), L"Grüße");

  DWORD number = 0;
  size = sizeof(number);
  ASSERT_EQ(RegQueryValueExW(key, L"connPriority", nullptr, &type, reinterpret_cast<BYTE*>(&number), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(number, 32768u);
  ASSERT_EQ(RegQueryValueExW(key, L"CONNPRIORITY", nullptr, &type, nullptr, &size), ERROR_SUCCESS)
      << "value names ignore case";

  ASSERT_EQ(RegQueryValueExW(key, L"negative", nullptr, &type, reinterpret_cast<BYTE*>(&number), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(number, 0xFFFFFFFFu);

  uint64_t big = 0;
  size = sizeof(big);
  ASSERT_EQ(RegQueryValueExW(key, L"wide", nullptr, &type, reinterpret_cast<BYTE*>(&big), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_QWORD);
  EXPECT_EQ(big, 5000000000u);

  for (const wchar_t* other : {L"connExclusive", L"list"}) {
    size = sizeof(number);
    ASSERT_EQ(RegQueryValueExW(key, other, nullptr, &type, reinterpret_cast<BYTE*>(&number), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_NONE) << other;
    EXPECT_EQ(size, 0u) << other;
  }
  EXPECT_EQ(RegQueryValueExW(key, L"connNetName", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistryTest, StringOf127FitsA128CharacterBufferAnd128DoesNot) {
  Write("fits = \"" + std::string(127, 'a') + "\"\ntoolong = \"" + std::string(128, 'b') + "\"\n");
  HKEY key = nullptr;
  ASSERT_EQ(Open(&key), ERROR_SUCCESS);
  WCHAR buffer[128];
  DWORD type = 0;
  DWORD size = sizeof(buffer);
  ASSERT_EQ(RegQueryValueExW(key, L"fits", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 128 * sizeof(WCHAR));
  EXPECT_EQ(std::wstring(buffer), std::wstring(127, L'a'));

  size = sizeof(buffer);
  buffer[0] = L'x';
  EXPECT_EQ(RegQueryValueExW(key, L"toolong", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 129 * sizeof(WCHAR)) << "the size needed";
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(buffer[0], L'x') << "nothing copied";

  DWORD small = 0;
  size = 2;
  EXPECT_EQ(RegQueryValueExW(key, L"fits", nullptr, &type, reinterpret_cast<BYTE*>(&small), &size), ERROR_MORE_DATA);
  RegCloseKey(key);
}

TEST_F(RegistryTest, ChangesAreSeenAtTheNextOpen) {
  Write("connLingerTime = 1\n");
  HKEY key = nullptr;
  ASSERT_EQ(Open(&key), ERROR_SUCCESS);
  Write("connLingerTime = 7\n");
  DWORD value = 0, size = sizeof(value), type = 0;
  RegQueryValueExW(key, L"connLingerTime", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  EXPECT_EQ(value, 1u) << "an open key keeps what it read";
  RegCloseKey(key);
  ASSERT_EQ(Open(&key), ERROR_SUCCESS);
  RegQueryValueExW(key, L"connLingerTime", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  EXPECT_EQ(value, 7u);
  RegCloseKey(key);
}

}  // namespace
