#include "tests/platform/window/window_fixture.h"

#include "platform/gdi/gdi.h"

WindowTest* WindowTest::current_ = nullptr;

LRESULT WindowTest::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowTest* self = current_;
  self->received_.push_back(Received{message, wParam, lParam, VirtualNowMs()});
  if (message == WM_PAINT) {
    PAINTSTRUCT ps;
    const HDC hdc = BeginPaint(hwnd, &ps);
    ++self->paints_;
    // Each paint fills the client area with a colour of its own.
    const HBRUSH brush = CreateSolidBrush(RGB(static_cast<BYTE>(self->paints_), 0x40, 0x80));
    RECT client;
    GetClientRect(hwnd, &client);
    FillRect(hdc, &client, brush);
    DeleteObject(brush);
    EndPaint(hwnd, &ps);
  }
  if (self->onMessage_) self->onMessage_(message, wParam, lParam);
  return 0;
}

void WindowTest::SetUp() {
  current_ = this;
  std::string error;
  PlatformOptions options;
  options.backend = Backend::Headless;
  ASSERT_TRUE(InitPlatform(options, &error)) << error;
  WNDCLASSW wc{};
  wc.lpfnWndProc = &WindowTest::Procedure;
  wc.lpszClassName = L"WINDOWTEST";
  ASSERT_NE(RegisterClassW(&wc), 0);
  hwnd_ = CreateWindowExW(0, L"WINDOWTEST", L"Window test", WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(hwnd_, nullptr);
}

void WindowTest::TearDown() {
  ShutdownPlatform();
  current_ = nullptr;
}

std::vector<Received> WindowTest::Only(UINT message) const {
  std::vector<Received> out;
  for (const Received& r : received_) {
    if (r.message == message) out.push_back(r);
  }
  return out;
}

std::vector<UINT> WindowTest::Kinds() const {
  std::vector<UINT> out;
  for (const Received& r : received_) out.push_back(r.message);
  return out;
}
