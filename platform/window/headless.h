// The driver of the headless backend: what tests and scripted runs use in
// place of a user and a clock. Call on the user-interface thread only.
#pragma once

#include <cstdint>

#include "platform/gdi/surface.h"
#include "platform/types.h"

// Moves the virtual clock forward by ms. Every timer that falls due in that
// span fires, in time order, each at its own due time; after every step all
// posted messages (from any thread) and pending paints are dispatched. A
// Sleep inside a handler moves the clock too; timers it passed fire late,
// once, as in Win32.
void AdvanceClock(int ms);

// With pacing on, AdvanceClock lets the virtual clock run no faster than
// real time, dispatching what worker threads post as it arrives: for runs
// where real work (a recording from a file, a request to a server) must keep
// step with the program's timers. Off by default, so tests stay exact.
void SetRealTimePacing(bool on);

// Dispatches posted messages, paints and already due timers until the
// queue is idle, without moving the clock.
void DispatchPending();

// Waits in real time, at most timeoutMs, until a message is posted (by a
// worker thread, say), then dispatches everything pending. True when
// something arrived.
bool WaitForPostedMessage(int timeoutMs);

// A key press and release: WM_KEYDOWN then WM_KEYUP with that virtual-key
// code, then DispatchPending.
void PressKey(UINT vk);

// A stylus tap at client coordinates: WM_LBUTTONDOWN then WM_LBUTTONUP with
// MAKELPARAM(x, y), then DispatchPending.
void Tap(int x, int y);

// A tap at a pixel of the window as a real window zoomed by PlatformOptions'
// zoom shows it, mapped to client coordinates as the sdl backend maps a click.
void TapWindowPixel(int x, int y);

// The window's close button: WM_CLOSE, then DispatchPending.
void PressCloseButton();

// The user or the compositor resizes the window to width x height client
// pixels, which becomes the display size (as the sdl backend does on a real
// resize), then DispatchPending.
void ResizeWindowFromOutside(int width, int height);

// What the user sees: the client area as last painted (EndPaint). Empty
// before the first paint.
const Surface& WindowPixels();
bool WindowVisible();

uint64_t VirtualNowMs();

// Whether PostQuitMessage has been called, and its exit code.
bool QuitPosted(int* exitCode);
