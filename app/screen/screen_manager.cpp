#include "app/screen/screen_manager.h"

#include <cstdio>
#include <thread>

#include "app/log.h"
#include "app/main_window.h"
#include "app/screen/screen.h"
#include "app/state.h"
#include "platform/window/window.h"

namespace {

std::thread::id g_uiThread;

Screen* CurrentScreen() {
  if (g_nCurrentScreen < 0 || g_nCurrentScreen >= SCREEN_COUNT) return nullptr;
  return g_apScreens[g_nCurrentScreen];
}

}  // namespace

void MarkUserInterfaceThread() { g_uiThread = std::this_thread::get_id(); }

bool OnUserInterfaceThread() { return std::this_thread::get_id() == g_uiThread; }

void SwitchScreen(int index) {
  if (!OnUserInterfaceThread()) {
    // Screens are not thread-safe: the window procedure makes the switch.
    PostMessageW(g_hWnd, WM_SWITCH_SCREEN, static_cast<WPARAM>(index), 0);
    return;
  }
  if (index < 0 || index == g_nCurrentScreen) return;
  ScreenFactory factory = nullptr;
  if (index < SCREEN_COUNT && !g_apScreens[index]) {
    factory = ScreenFactoryFor(index);
    if (!factory) {
      char line[80];
      std::snprintf(line, sizeof line, "SwitchScreen: no screen for index %d\r\n", index);
      LogMessage(line);
      return;
    }
  }
  if (Screen* old = CurrentScreen()) old->onDeactivate();
  if (index >= SCREEN_COUNT) {
    g_nCurrentScreen = SCREEN_NONE;
    return;
  }
  if (factory) g_apScreens[index] = factory();
  g_nCurrentScreen = index;
  g_apScreens[index]->onActivate();
  RedrawWindow(g_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT);
}

void PushScreen(int index) {
  if (g_nBackTop + 1 >= BACK_STACK_SIZE) return;
  if (g_nBackTop >= 0 && g_anBackStack[g_nBackTop] == index) return;
  g_anBackStack[++g_nBackTop] = index;
}

int PopScreen() {
  if (g_nBackTop < 0) return SCREEN_NONE;
  return g_anBackStack[g_nBackTop--];
}
