#include "app/log.h"

#include <cstring>

#include "platform/system/paths.h"

FILE* g_fpLog = nullptr;

bool OpenLog() {
  const std::string path = DataFolder() + "/log.txt";
  g_fpLog = std::fopen(path.c_str(), "w");
  return g_fpLog != nullptr;
}

void CloseLog() {
  if (g_fpLog) {
    std::fclose(g_fpLog);
    g_fpLog = nullptr;
  }
}

void LogMessage(const char* text) {
  if (!text) return;
  const std::size_t length = std::strlen(text);
  // Only the stream functions' own locking: lines from worker threads may
  // interleave with the user-interface thread's, but never tear.
  if (FILE* log = g_fpLog) std::fwrite(text, 1, length, log);
  std::fwrite(text, 1, length, stdout);
}
