// A whole melodex on the headless backend, in the test process: press keys,
// tap, advance the virtual clock, and read back pixels and files. One at a
// time per process, since the application state is process-wide.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "app/state.h"
#include "platform/gdi/surface.h"
#include "platform/types.h"
#include "platform/window/headless.h"
#include "tests/support/temp_folder.h"

class HeadlessApp {
 public:
  struct Options {
    int width = 240;
    int height = 320;
    // How many window pixels show one client pixel (see TapWindowPixel).
    int zoom = 1;
    // Content of the settings file; none is written when empty.
    std::string settings;
    // Start in a data folder that does not exist yet.
    bool freshHome = false;
    // Use this data folder (kept afterwards) instead of a temporary one.
    std::filesystem::path home;
  };

  HeadlessApp() : HeadlessApp(Options{}) {}
  explicit HeadlessApp(const Options& options);
  ~HeadlessApp();
  HeadlessApp(const HeadlessApp&) = delete;
  HeadlessApp& operator=(const HeadlessApp&) = delete;

  bool started() const { return m_started; }

  void key(UINT vk) { PressKey(vk); }
  void tap(int x, int y) { Tap(x, y); }
  void wait(int ms) { AdvanceClock(ms); }
  // The user or the compositor gives the window a new size.
  void resize(int width, int height) { ResizeWindowFromOutside(width, height); }
  // Leaves the splash screen for the main menu.
  void skipSplash() { wait(3000); }

  int screen() const { return g_nCurrentScreen; }
  std::uint32_t pixel(int x, int y) const { return WindowPixels().at(x, y) & 0x00FFFFFFu; }  // 0x00RRGGBB
  const Surface& pixels() const { return WindowPixels(); }

  // The log file as it stands (flushed first).
  std::string log() const;
  const std::filesystem::path& home() const { return m_home; }
  const std::filesystem::path& root() const { return m_root; }

 private:
  std::filesystem::path m_root;
  std::filesystem::path m_home;
  bool m_started = false;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// The pixel of a compiled-in GIF, as the program decodes it.
std::uint32_t GifPixel(int gifId, int x, int y);

// Takes in what worker threads post, in real time, while `busy` holds, for at
// most `limitMs`: a bound for a slow or loaded machine, never a timing
// expectation. Counting wake-ups instead would end early when many messages
// arrive.
void PumpWhile(const std::function<bool()>& busy, int limitMs = 30000);
