// Base class of every page. Exactly one screen is current; the window
// procedure hands it paint, key, stylus, timer and notification messages.
#pragma once

#include "platform/types.h"

class Screen {
 public:
  Screen(HINSTANCE hInst, HWND hWnd) : m_hInst(hInst), m_hWnd(hWnd) {}
  virtual ~Screen() = default;
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;

  // Composes the page in the back buffer and copies it to *hdc.
  virtual void paint(HDC* hdc, RECT* client);
  virtual int onKey(WPARAM vk, LPARAM keyData);
  virtual int onMouseUp(WPARAM wParam, LPARAM lParam);
  // Soft-key hit test: a tap in the bottom 55 pixels is the left soft key on
  // the left half of the client width and the right soft key on the right half.
  virtual int onClick(WPARAM wParam, LPARAM lParam);
  virtual void onTimer(WPARAM timerId, LPARAM lParam);
  virtual void onUserMessage();
  virtual void onActivate();
  virtual void onDeactivate();
  virtual void eraseBackground(HDC hdc, RECT* rect);
  virtual void eraseBackgroundVia(HDC* hdc, RECT* rect);

  // Edges count as inside.
  static bool pointInRect(int x, int y, const RECT& rect);

 protected:
  HINSTANCE m_hInst;
  HWND m_hWnd;
};

// Tap coordinates of a stylus message: x in the low and y in the high 16 bits, unsigned.
inline int TapX(LPARAM lParam) { return static_cast<int>(lParam & 0xFFFF); }
inline int TapY(LPARAM lParam) { return static_cast<int>((lParam >> 16) & 0xFFFF); }
