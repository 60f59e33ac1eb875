#include "tests/support/headless_app.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "app/log.h"
#include "app/main_window.h"
#include "platform/gdi/gdi.h"
#include "platform/system/images.h"
#include "platform/system/paths.h"
#include "platform/window/platform.h"
#include "platform/window/window.h"

namespace fs = std::filesystem;

namespace {
int g_moduleTag;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

HeadlessApp::HeadlessApp(const Options& options) : m_root(MakeTempFolder("melodex-test")) {
  m_home = !options.home.empty() ? options.home : m_root / (options.freshHome ? "new/data" : "data");
  if (!options.freshHome) fs::create_directories(m_home);
  fs::create_directories(m_root / "run");
  // A runtime folder of its own keeps this instance apart from any other.
  setenv("XDG_RUNTIME_DIR", (m_root / "run").c_str(), 1);
  SetDataFolder(m_home.string());
  const fs::path settings = m_root / "settings.toml";
  if (!options.settings.empty()) std::ofstream(settings) << options.settings;
  SetSettingsFile(settings.string());

  PlatformOptions platform;
  platform.backend = Backend::Headless;
  platform.width = options.width;
  platform.height = options.height;
  platform.zoom = options.zoom;
  std::string error;
  if (!InitPlatform(platform, &error)) return;
  m_started = InitInstance(reinterpret_cast<HINSTANCE>(&g_moduleTag), SW_SHOWNORMAL) == TRUE;
  DispatchPending();
}

HeadlessApp::~HeadlessApp() {
  if (m_started) ExitApplication();
  ShutdownPlatform();
  std::error_code ignored;
  fs::remove_all(m_root, ignored);
}

std::string HeadlessApp::log() const {
  if (g_fpLog) std::fflush(g_fpLog);
  return ReadFile(m_home / "log.txt");
}

std::uint32_t GifPixel(int gifId, int x, int y) {
  // Decoded once per picture: comparisons read every pixel.
  static std::map<int, Surface> decoded;
  auto found = decoded.find(gifId);
  if (found == decoded.end()) {
    HBITMAP bitmap = SHLoadImageResource(nullptr, static_cast<UINT>(gifId));
    if (!bitmap) return 0xFF000000u;
    found = decoded.emplace(gifId, *GetBitmapSurface(bitmap)).first;
    DeleteObject(bitmap);
  }
  return found->second.at(x, y) & 0x00FFFFFFu;
}

void PumpWhile(const std::function<bool()>& busy, int limitMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (busy() && std::chrono::steady_clock::now() < end) WaitForPostedMessage(10);
}
