#include "app/platform_services.h"

#include <cstdlib>
#include <cwchar>

#include "app/log.h"
#include "app/settings.h"
#include "app/state.h"
#include "app/strings.h"
#include "platform/system/shell.h"
#include "platform/window/window.h"

namespace {

constexpr std::size_t kBrowserPathBytes = 1024;
constexpr LPCWSTR kDefaultBrowser = L"xdg-open";

}  // namespace

void InitBrowserPath() {
  constexpr DWORD capacity = kBrowserPathBytes / sizeof(wchar_t);
  g_szBrowserPath = static_cast<wchar_t*>(std::calloc(capacity, sizeof(wchar_t)));
  if (!g_szBrowserPath) return;
  if (!ReadSettingString(L"browserPath", g_szBrowserPath, capacity) || !g_szBrowserPath[0])
    std::wcsncpy(g_szBrowserPath, kDefaultBrowser, capacity - 1);
}

void LaunchURL(const char* url) {
  wchar_t* wideUrl = AnsiToWide(url);
  if (!wideUrl) return;
  SHELLEXECUTEINFOW info{};
  info.cbSize = 60;
  info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = g_szBrowserPath;
  info.lpParameters = wideUrl;
  info.nShow = SW_SHOWNORMAL;
  if (ShellExecuteExW(&info))
    LogMessage("LaunchURL: successfully called ShellExecuteEx\r\n");
  else
    LogMessage("LaunchURL: ShellExecuteEx failed\r\n");
  std::free(wideUrl);
}
