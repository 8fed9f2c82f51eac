// While an update or a download runs, the PC must neither sleep nor shut down: a
// flash cut off half-way can leave the handheld without a working ROM.
#pragma once
#include <windows.h>

#include "app/window_state.h"

// Keeps the system awake (the thread's previous execution state is kept to be put
// back) and, where the system has it, names the reason to refuse a shutdown. Call on
// the window's thread; a second call while active does nothing.
void BeginFlashGuard(FlashGuard& guard, HWND window);
// Puts the previous execution state back and drops the shutdown reason.
void EndFlashGuard(FlashGuard& guard, HWND window);

// The answer to WM_QUERYENDSESSION: false (refuse) while the guard is active.
bool MayEndSession(const FlashGuard& guard);
