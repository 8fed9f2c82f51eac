// While an update or a download runs, the PC must neither sleep nor shut down: a
// flash cut off half-way can leave the handheld without a working ROM.
#pragma once
#include <windows.h>

// Keeps the system awake (the thread's previous execution state is kept to be put
// back) and, where the system has it, names the reason to refuse a shutdown. Call on
// the window's thread; a second call while active does nothing.
void BeginFlashGuard(HWND window);
// Puts the previous execution state back and drops the shutdown reason.
void EndFlashGuard(HWND window);
bool FlashGuardActive();

// The answer to WM_QUERYENDSESSION: false (refuse) while the guard is active.
bool MayEndSession();

// The function that sets the thread's execution state: the system's
// SetThreadExecutionState, or a stand-in that records what it is asked (null: the
// system's again). The system's effect is not visible from inside a program.
using ExecutionStateSetter = EXECUTION_STATE(WINAPI*)(EXECUTION_STATE);
void SetExecutionStateSetter(ExecutionStateSetter setter);
