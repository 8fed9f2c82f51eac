// The Update command: the click, the pre-flight's start and the way out during it.
#pragma once
#include <windows.h>

struct MainWindowState;

// The click on Update: the checks that need no device, then the pre-flight on a
// thread of its own, which reports to the window.
void RunUpdate(MainWindowState& state);
// Exit, the close box or Escape: true when the program may end now. During the
// pre-flight this stops it, unless an attempt is opening the data pipe.
bool EndRequested(MainWindowState& state);
// On the way out, after the window went: lets a stopped pre-flight finish its last
// log lines (bounded: its waits watch the stop).
void WaitForPreflightEnd(MainWindowState& state);
// False when the desktop synchronisation service still claims the USB connection.
bool CheckSyncConnection();
