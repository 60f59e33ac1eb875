// Keys of a desktop keyboard as the phone's virtual-key codes.
#pragma once

#include <SDL.h>

#include "platform/types.h"

// The virtual-key code for an SDL key, or 0 for keys the phone does not have.
UINT VirtualKeyFor(SDL_Keycode key);
