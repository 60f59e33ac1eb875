#include "tags/tag_date.h"

#include <cwchar>

#include "platform/system/files.h"

std::wstring TagDateText(const FILETIME& created) {
  FILETIME local{};
  SYSTEMTIME parts{};
  if (!FileTimeToLocalFileTime(&created, &local) || !FileTimeToSystemTime(&local, &parts)) return {};
  wchar_t text[16];
  std::swprintf(text, sizeof text / sizeof text[0], L"%d/%d", parts.wMonth, parts.wDay);
  return text;
}
