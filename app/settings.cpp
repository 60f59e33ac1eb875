#include "app/settings.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "app/state.h"
#include "app/strings.h"
#include "platform/system/registry.h"

namespace {

constexpr LPCWSTR kSettingsKey = L"SOFTWARE\\Melodex";
constexpr DWORD kOwnerIdChars = 128;  // terminator included
constexpr int kDefaultOwnerId = 2422;
constexpr DWORD kServerUrlChars = 1024;  // terminator included
constexpr const char* kDefaultServerUrl = "http://127.0.0.1:8017/servlet/QuaverId";

// The registry key, closed when it goes out of scope.
class SettingsKey {
 public:
  SettingsKey() {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &m_key) != ERROR_SUCCESS) m_key = nullptr;
  }
  ~SettingsKey() {
    if (m_key) RegCloseKey(m_key);
  }
  SettingsKey(const SettingsKey&) = delete;
  SettingsKey& operator=(const SettingsKey&) = delete;
  HKEY get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

// Reads a REG_SZ value; returns the byte count read (terminator included) or 0.
DWORD QueryString(HKEY key, LPCWSTR name, wchar_t* buffer, DWORD capacity) {
  DWORD type = 0;
  DWORD size = capacity * sizeof(wchar_t);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
    return 0;
  // Anything but text would be copied as if it were text; a value without its
  // terminator would be read past its end.
  if (type != REG_SZ || size < sizeof(wchar_t) || buffer[size / sizeof(wchar_t) - 1] != L'\0') return 0;
  return size;
}

// Reads a REG_DWORD value; the fallback when the key or value is missing or
// the value is of another type.
DWORD ReadSettingNumber(LPCWSTR name, DWORD fallback) {
  SettingsKey key;
  if (!key.get()) return fallback;
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value)
    return fallback;
  return value;
}

}  // namespace

bool ReadConnNetName(wchar_t* name, DWORD capacity) { return ReadSettingString(L"connNetName", name, capacity); }

LONG ReadConnLingerTime() { return static_cast<LONG>(ReadSettingNumber(L"connLingerTime", 1)); }

DWORD ReadConnPriority() { return ReadSettingNumber(L"connPriority", 0x8000); }

DWORD ReadConnFlags() { return ReadSettingNumber(L"connFlags", 1); }

BOOL ReadConnExclusive() { return ReadSettingNumber(L"connExclusive", 0) != 0 ? TRUE : FALSE; }

char* ReadServerURL() {
  auto* url = static_cast<wchar_t*>(std::malloc(kServerUrlChars * sizeof(wchar_t)));
  char* text =
      url && ReadSettingString(L"serverURL", url, kServerUrlChars) ? WideToAnsi(url) : DupString(kDefaultServerUrl);
  std::free(url);
  return text;
}

bool ReadSettingString(LPCWSTR name, wchar_t* buffer, DWORD capacity) {
  SettingsKey key;
  if (!key.get()) return false;
  auto* read = static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t)));
  if (!read) return false;
  const DWORD size = QueryString(key.get(), name, read, capacity);
  if (size) std::memcpy(buffer, read, size);
  std::free(read);
  return size != 0;
}

void LoadSettings() {
  SettingsKey key;
  if (key.get()) {
    auto* read = static_cast<wchar_t*>(std::malloc(kOwnerIdChars * sizeof(wchar_t)));
    const DWORD size = read ? QueryString(key.get(), L"ownerID", read, kOwnerIdChars) : 0;
    if (size) {
      g_szOwnerID = static_cast<wchar_t*>(std::malloc(size));
      if (g_szOwnerID) std::memcpy(g_szOwnerID, read, size);
    }
    std::free(read);
    if (g_szOwnerID) return;
  }
  g_szOwnerID = static_cast<wchar_t*>(std::malloc(kOwnerIdChars * sizeof(wchar_t)));
  if (g_szOwnerID) std::swprintf(g_szOwnerID, kOwnerIdChars, L"%d", kDefaultOwnerId);
}
