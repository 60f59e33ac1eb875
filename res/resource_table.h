// The table of resources compiled into the program, generated at build time
// from the files under res/ (see res/embed.cmake).
#pragma once

#include <cstddef>

#include "platform/system/resources.h"

struct ResourceEntry {
  ResourceType type;
  int id;
  const unsigned char* bytes;
  std::size_t size;
};

// Sorted by type (in ResourceType order), then by id; no duplicates.
extern const ResourceEntry kResourceTable[];
extern const std::size_t kResourceCount;

// res/strings.txt as it stands (UTF-8), not terminated.
extern const unsigned char kStringTableText[];
extern const std::size_t kStringTableSize;
