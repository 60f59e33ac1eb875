#include "platform/window/sdl/key_map.h"

#include "platform/window/window.h"

UINT VirtualKeyFor(SDL_Keycode key) {
  if (key >= SDLK_0 && key <= SDLK_9) return static_cast<UINT>('0' + (key - SDLK_0));
  if (key >= SDLK_KP_1 && key <= SDLK_KP_9) return static_cast<UINT>('1' + (key - SDLK_KP_1));
  switch (key) {
    case SDLK_KP_0: return '0';
    case SDLK_RETURN:
    case SDLK_KP_ENTER: return VK_RETURN;
    case SDLK_ESCAPE: return VK_ESCAPE;
    case SDLK_LEFT: return VK_LEFT;
    case SDLK_UP: return VK_UP;
    case SDLK_RIGHT: return VK_RIGHT;
    case SDLK_DOWN: return VK_DOWN;
    case SDLK_F1: return VK_F1;  // left soft key
    case SDLK_F2: return VK_F2;  // right soft key
    case SDLK_F3: return VK_F3;  // Talk
    case SDLK_BACKSPACE: return VK_BACK;
    case SDLK_DELETE: return VK_DELETE;
    case SDLK_PERIOD:
    case SDLK_KP_PERIOD: return VK_OEM_PERIOD;
    case SDLK_VOLUMEUP: return VK_VOLUME_UP;
    case SDLK_VOLUMEDOWN: return VK_VOLUME_DOWN;
    default: return 0;
  }
}
