// Switching between screens, and the back stack of screen indices.
#pragma once

// Makes the screen with that index current: the old screen is deactivated,
// the new one created on first use, activated and repainted. 12 leaves no
// screen current. Called from another thread, the switch is posted to the
// user-interface thread and happens there.
void SwitchScreen(int index);
void PushScreen(int index);
// The top index, or 12 when the stack is empty.
int PopScreen();

// Remembers the calling thread as the user-interface thread.
void MarkUserInterfaceThread();
bool OnUserInterfaceThread();

class Screen;
using ScreenFactory = Screen* (*)();
// What creates the screen class of an index (with g_hInst and g_hWnd); null
// for an index that has no screen class.
ScreenFactory ScreenFactoryFor(int index);
