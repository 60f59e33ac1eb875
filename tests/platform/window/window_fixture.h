// A headless platform with one window whose procedure records every message
// and paints each frame in a colour of its own.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/window/headless.h"
#include "platform/window/platform.h"
#include "platform/window/window.h"

struct Received {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  uint64_t at;  // virtual time of delivery
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    current_ = this;
    std::string error;
    PlatformOptions options;
    options.backend = Backend::Headless;
    ASSERT_TRUE(InitPlatform(options, &error)) << error;
    WNDCLASSW wc{};
    wc.lpfnWndProc = &WindowTest::Procedure;
    wc.lpszClassName = L"WINDOWTEST";
    ASSERT_NE(RegisterClassW(&wc), 0);
    hwnd_ = CreateWindowExW(0, L"WINDOWTEST", L"Window test", WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd_, nullptr);
  }
  void TearDown() override { ShutdownPlatform(); }

  // The messages of one kind that the window received, in order.
  std::vector<Received> Only(UINT message) const {
    std::vector<Received> out;
    for (const Received& r : received_)
      if (r.message == message) out.push_back(r);
    return out;
  }
  std::vector<UINT> Kinds() const {
    std::vector<UINT> out;
    for (const Received& r : received_) out.push_back(r.message);
    return out;
  }

  HWND hwnd_ = nullptr;
  std::vector<Received> received_;
  std::function<void(UINT, WPARAM, LPARAM)> onMessage_;  // extra handling, after recording
  int paints_ = 0;

 private:
  static LRESULT Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    WindowTest* self = current_;
    self->received_.push_back(Received{message, wParam, lParam, VirtualNowMs()});
    if (message == WM_PAINT) {
      PAINTSTRUCT ps;
      const HDC hdc = BeginPaint(hwnd, &ps);
      const HBRUSH brush = CreateSolidBrush(RGB(static_cast<BYTE>(++self->paints_), 0x40, 0x80));
      RECT client;
      GetClientRect(hwnd, &client);
      FillRect(hdc, &client, brush);
      DeleteObject(brush);
      EndPaint(hwnd, &ps);
    }
    if (self->onMessage_) self->onMessage_(message, wParam, lParam);
    return 0;
  }
  static inline WindowTest* current_ = nullptr;
};
