// A headless platform with one window whose procedure records every message.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

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
  void SetUp() override;
  void TearDown() override;

  // The messages of one kind that the window received, in order.
  std::vector<Received> Only(UINT message) const;
  std::vector<UINT> Kinds() const;

  HWND hwnd_ = nullptr;
  static WindowTest* current_;
  std::vector<Received> received_;
  // Optional extra handling, run after recording.
  std::function<void(UINT, WPARAM, LPARAM)> onMessage_;
  int paints_ = 0;

 private:
  static LRESULT Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
};
