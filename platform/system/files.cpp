#include "platform/system/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/system/wide_text.h"

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600;
constexpr std::int64_t kTicksPerSecond = 10000000;

std::string NativePath(LPCWSTR path) {
  std::string native = WideToUtf8(path ? path : L"");
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    default: return ERROR_INVALID_PARAMETER;
  }
}

std::int64_t FileTimeTicks(const FILETIME& t) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

FILETIME TicksToFileTime(std::int64_t ticks) {
  const auto bits = static_cast<std::uint64_t>(ticks);
  return FILETIME{static_cast<DWORD>(bits & 0xFFFFFFFFu), static_cast<DWORD>(bits >> 32)};
}

FILETIME UnixToFileTime(std::int64_t seconds, std::int64_t nanoseconds) {
  return TicksToFileTime((seconds + kEpochDifference) * kTicksPerSecond + nanoseconds / 100);
}

struct Attributes {
  DWORD attributes;
  FILETIME created, accessed, written;
  std::uint64_t size;
};

bool ReadAttributes(const std::string& path, Attributes* out) {
  struct statx st {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return false;
  }
  const auto& birth = (st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime;
  out->attributes = S_ISDIR(st.stx_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  out->created = UnixToFileTime(birth.tv_sec, birth.tv_nsec);
  out->accessed = UnixToFileTime(st.stx_atime.tv_sec, st.stx_atime.tv_nsec);
  out->written = UnixToFileTime(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
  out->size = st.stx_size;
  return true;
}

struct FindState {
  std::string folder;
  std::vector<std::string> names;
  std::size_t next = 0;
};

std::mutex g_findMutex;
std::map<HANDLE, std::unique_ptr<FindState>> g_finds;

// Fills the record for the next entry that still exists.
bool FillNext(FindState* state, WIN32_FIND_DATAW* data) {
  while (state->next < state->names.size()) {
    const std::string& name = state->names[state->next++];
    Attributes a{};
    if (!ReadAttributes(state->folder + "/" + name, &a)) continue;
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = a.attributes;
    data->ftCreationTime = a.created;
    data->ftLastAccessTime = a.accessed;
    data->ftLastWriteTime = a.written;
    data->nFileSizeHigh = static_cast<DWORD>(a.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(a.size & 0xFFFFFFFFu);
    const std::wstring wide = Utf8ToWide(name);
    const std::size_t n = std::min<std::size_t>(wide.size(), MAX_PATH - 1);
    wide.copy(data->cFileName, n);
    data->cFileName[n] = L'\0';
    return true;
  }
  return false;
}

}  // namespace

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
  const std::string native = NativePath(path);
  if (native.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  struct stat st {};
  if (stat(native.c_str(), &st) == 0) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  std::error_code error;
  std::filesystem::create_directories(native, error);
  if (error) {
    SetLastError(ErrorFromErrno(error.value()));
    return FALSE;
  }
  return TRUE;
}

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
  const std::string native = NativePath(pattern);
  const std::size_t slash = native.rfind('/');
  auto state = std::make_unique<FindState>();
  state->folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : native.substr(0, slash));
  const std::string mask = slash == std::string::npos ? native : native.substr(slash + 1);

  DIR* dir = opendir(state->folder.c_str());
  if (!dir) {
    SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD) == 0) state->names.push_back(name);
  }
  closedir(dir);

  if (!data || !FillNext(state.get(), data)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle = state.get();
  std::lock_guard lock(g_findMutex);
  g_finds[handle] = std::move(state);
  return handle;
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
  std::lock_guard lock(g_findMutex);
  const auto it = g_finds.find(find);
  if (it == g_finds.end() || !data) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!FillNext(it->second.get(), data)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  std::lock_guard lock(g_findMutex);
  if (g_finds.erase(find) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
  if (unlink(NativePath(path).c_str()) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
  if (level != GetFileExInfoStandard || !information) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Attributes a{};
  if (!ReadAttributes(NativePath(path), &a)) return FALSE;
  auto* out = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
  out->dwFileAttributes = a.attributes;
  out->ftCreationTime = a.created;
  out->ftLastAccessTime = a.accessed;
  out->ftLastWriteTime = a.written;
  out->nFileSizeHigh = static_cast<DWORD>(a.size >> 32);
  out->nFileSizeLow = static_cast<DWORD>(a.size & 0xFFFFFFFFu);
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, FILETIME* localFileTime) {
  if (!fileTime || !localFileTime) return FALSE;
  const std::int64_t ticks = FileTimeTicks(*fileTime);
  const time_t seconds = static_cast<time_t>(ticks / kTicksPerSecond - kEpochDifference);
  tm local{};
  if (!localtime_r(&seconds, &local)) return FALSE;
  *localFileTime = TicksToFileTime(ticks + static_cast<std::int64_t>(local.tm_gmtoff) * kTicksPerSecond);
  return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime) {
  if (!fileTime || !systemTime) return FALSE;
  const std::int64_t ticks = FileTimeTicks(*fileTime);
  if (ticks < 0) return FALSE;  // beyond the range Win32 accepts
  const time_t seconds = static_cast<time_t>(ticks / kTicksPerSecond - kEpochDifference);
  tm utc{};
  if (!gmtime_r(&seconds, &utc)) return FALSE;
  systemTime->wYear = static_cast<WORD>(utc.tm_year + 1900);
  systemTime->wMonth = static_cast<WORD>(utc.tm_mon + 1);
  systemTime->wDayOfWeek = static_cast<WORD>(utc.tm_wday);
  systemTime->wDay = static_cast<WORD>(utc.tm_mday);
  systemTime->wHour = static_cast<WORD>(utc.tm_hour);
  systemTime->wMinute = static_cast<WORD>(utc.tm_min);
  systemTime->wSecond = static_cast<WORD>(utc.tm_sec);
  systemTime->wMilliseconds = static_cast<WORD>((ticks % kTicksPerSecond) / 10000);
  return TRUE;
}
