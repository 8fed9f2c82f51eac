// The taskbar button mirrors the progress bar and shows a failure, where the system
// offers that (Windows 7 and later). Elsewhere these calls change nothing.
#pragma once
#include <windows.h>

enum class TaskbarState { None, Progress, Error };

// Called on the window's thread.
void ShowTaskbarProgress(HWND window, int position);  // 0..100
void ShowTaskbarError(HWND window);                   // keeps the last position
void ClearTaskbar(HWND window);

// What the button was last asked to show (also where the system has no such button).
TaskbarState LastTaskbarState();
int LastTaskbarPosition();
