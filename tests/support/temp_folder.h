// A fresh temporary folder for a test; the caller removes it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

// An empty path when no folder could be made.
inline std::filesystem::path MakeTempFolder(const std::string& stem) {
  std::string pattern = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) return {};
  return pattern;
}
