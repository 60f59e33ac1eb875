// The shell's image loaders: GIF resources compiled into the program and
// picture files on disk, each decoded into a new bitmap of its own size.
#pragma once

#include "platform/types.h"

// The GIF resource `gifId` as a bitmap; null when the id is unknown or -1,
// or when its data does not decode. The caller deletes it with DeleteObject.
HBITMAP SHLoadImageResource(HINSTANCE instance, UINT gifId);

// A JPEG (or any other picture SDL2_image reads) from a file; null when the
// file is missing or damaged, or declares more than 4096 x 4096 pixels.
HBITMAP SHLoadImageFile(LPCWSTR path);
