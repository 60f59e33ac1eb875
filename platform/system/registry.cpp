#include "platform/system/registry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

#include "platform/system/paths.h"
#include "platform/system/wide_text.h"

namespace {

struct RegistryValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct OpenKey {
  std::map<std::string, RegistryValue> values;
};

std::mutex g_mutex;
std::map<HKEY, std::unique_ptr<OpenKey>> g_keys;
std::string g_lastReport;

bool SameTextIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

template <typename T>
void AppendLittleEndian(std::vector<BYTE>* out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out->push_back(static_cast<BYTE>(value >> (8 * i)));
}

RegistryValue ToRegistryValue(const toml::node& node) {
  RegistryValue value;
  if (const auto* text = node.as_string()) {
    value.type = REG_SZ;
    std::wstring wide = Utf8ToWide(text->get());
    wide.push_back(L'\0');
    value.data.resize(wide.size() * sizeof(WCHAR));
    std::memcpy(value.data.data(), wide.data(), value.data.size());
  } else if (const auto* number = node.as_integer()) {
    const std::int64_t n = number->get();
    if (n >= std::numeric_limits<std::int32_t>::min() && n <= std::numeric_limits<std::uint32_t>::max()) {
      value.type = REG_DWORD;
      AppendLittleEndian(&value.data, static_cast<std::uint32_t>(n));
    } else {
      value.type = REG_QWORD;
      AppendLittleEndian(&value.data, static_cast<std::uint64_t>(n));
    }
  }
  return value;
}

// Reports a malformed file once per distinct problem, so a value read at
// every connection does not repeat it.
void ReportOnce(const std::string& message) {
  if (message == g_lastReport) return;
  g_lastReport = message;
  std::fprintf(stderr, "%s\n", message.c_str());
}

LONG LoadSettings(OpenKey* key) {
  const std::string path = SettingsFile();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  std::string text;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
  const bool readFailed = std::ferror(file) != 0;
  std::fclose(file);
  if (readFailed) {
    ReportOnce("settings file " + path + ": cannot be read: " + std::strerror(errno));
    return ERROR_ACCESS_DENIED;
  }
  try {
    const toml::table table = toml::parse(text, path);
    for (const auto& [name, node] : table) key->values[std::string(name.str())] = ToRegistryValue(node);
  } catch (const toml::parse_error& error) {
    const auto& where = error.source().begin;
    std::ostringstream message;
    message << "settings file " << path << ": line " << where.line << ", column " << where.column << ": "
            << error.description();
    ReportOnce(message.str());
    return ERROR_INVALID_DATA;
  }
  return ERROR_SUCCESS;
}

const RegistryValue* FindValue(const OpenKey& key, LPCWSTR name) {
  const std::wstring wanted = name ? name : L"";
  if (const auto exact = key.values.find(WideToUtf8(wanted)); exact != key.values.end()) return &exact->second;
  for (const auto& [stored, value] : key.values) {
    if (SameTextIgnoringCase(Utf8ToWide(stored), wanted)) return &value;
  }
  return nullptr;
}

}  // namespace

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (key != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (!subKey || !SameTextIgnoringCase(subKey, L"SOFTWARE\\Melodex")) return ERROR_FILE_NOT_FOUND;
  auto open = std::make_unique<OpenKey>();
  std::lock_guard lock(g_mutex);
  if (const LONG status = LoadSettings(open.get()); status != ERROR_SUCCESS) return status;
  const HKEY handle = reinterpret_cast<HKEY>(open.get());
  g_keys[handle] = std::move(open);
  *result = handle;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  std::lock_guard lock(g_mutex);
  const auto open = g_keys.find(key);
  if (open == g_keys.end()) return ERROR_INVALID_HANDLE;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  const RegistryValue* value = FindValue(*open->second, valueName);
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value->type;
  const auto needed = static_cast<DWORD>(value->data.size());
  if (data && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (data && needed) std::memcpy(data, value->data.data(), needed);
  if (size) *size = needed;
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  std::lock_guard lock(g_mutex);
  return g_keys.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
