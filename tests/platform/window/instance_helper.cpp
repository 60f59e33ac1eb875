// A second process for the single-instance tests: it opens a hidden window
// of the class named on its command line and exits when it receives 0x401,
// with status 42 if its window was brought to the front by then and 43 if
// not (99 after ten seconds without it).
#include <string>

#include "platform/window/platform.h"
#include "platform/window/window.h"

namespace {

LRESULT Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER + 1) PostQuitMessage(IsWindowVisible(hwnd) ? 42 : 43);
  if (message == WM_TIMER) PostQuitMessage(99);
  return message == WM_PAINT ? DefWindowProcW(hwnd, message, wParam, lParam) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  if (argc != 2 || !InitPlatform(PlatformOptions{}, &error)) return 2;
  const std::string name = argv[1];
  const std::wstring className(name.begin(), name.end());
  WNDCLASSW wc{};
  wc.lpfnWndProc = Procedure;
  wc.lpszClassName = className.c_str();
  RegisterClassW(&wc);
  const HWND hwnd = CreateWindowExW(0, className.c_str(), L"Helper", 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                    CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
  SetTimer(hwnd, 1, 10000, nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0)) DispatchMessageW(&msg);
  ShutdownPlatform();
  return static_cast<int>(msg.wParam);
}
