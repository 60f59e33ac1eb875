// One running instance per window class, across processes, through a UNIX
// socket "$XDG_RUNTIME_DIR/melodex-<class>.sock" (else
// /tmp/melodex-<uid>/melodex-<class>.sock).
//
// The first window of a class listens on the socket. FindWindowW in another
// process connects to it and, when the instance answers, returns a proxy
// handle: PostMessageW on it delivers the message into the instance's
// queue, and SetForegroundWindow asks the instance to show and raise its
// window. The listener thread only posts into the queue.
#pragma once

#include <string>

#include "platform/types.h"

// The socket path for a window class; empty when no private folder exists.
std::string InstanceSocketPath(const std::wstring& className);

void StartInstanceListener(HWND hwnd, const std::wstring& className, const std::wstring& title);
void StopInstanceListener(HWND hwnd);

// A proxy for the instance listening for that class and title, or null.
HWND FindInstance(const std::wstring& className, const std::wstring& title);
bool IsInstanceProxy(HWND hwnd);
bool PostToInstance(HWND proxy, UINT message, WPARAM wParam, LPARAM lParam);
bool RaiseInstance(HWND proxy);
