// Resources compiled into the program: GIF images, WAVE sounds, the icon and
// the string table, looked up by number as the module's resources are.
#pragma once

#include <cstddef>

#include "platform/types.h"

enum class ResourceType { Gif, Wave, Icon };

struct ResourceBytes {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};

// The bytes of a compiled-in resource; {nullptr, 0} when there is none.
ResourceBytes FindResourceBytes(ResourceType type, int id);

// Copies string resource `id` (at most bufferMax - 1 characters, always
// terminated) and returns its length; 0 when there is no such string.
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax);
