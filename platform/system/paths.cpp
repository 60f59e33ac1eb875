#include "platform/system/paths.h"

#include <cstdlib>
#include <mutex>
#include <optional>

namespace {

std::mutex g_pathsMutex;
std::optional<std::string> g_dataOverride;
std::optional<std::string> g_settingsOverride;

std::string FromEnvironment(const char* direct, const char* xdgVar, const char* homeFallback,
                            const char* leaf) {
  if (const char* v = std::getenv(direct); v && *v) return v;
  if (const char* xdg = std::getenv(xdgVar); xdg && *xdg) return std::string(xdg) + "/" + leaf;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/" + homeFallback + "/" + leaf;
}

}  // namespace

std::string DataFolder() {
  std::lock_guard lock(g_pathsMutex);
  if (g_dataOverride) return *g_dataOverride;
  return FromEnvironment("MELODEX_HOME", "XDG_DATA_HOME", ".local/share", "melodex");
}

void SetDataFolder(const std::string& path) {
  std::lock_guard lock(g_pathsMutex);
  g_dataOverride = path;
}

std::string SettingsFile() {
  std::lock_guard lock(g_pathsMutex);
  if (g_settingsOverride) return *g_settingsOverride;
  return FromEnvironment("MELODEX_SETTINGS", "XDG_CONFIG_HOME", ".config", "melodex/settings.toml");
}

void SetSettingsFile(const std::string& path) {
  std::lock_guard lock(g_pathsMutex);
  g_settingsOverride = path;
}
