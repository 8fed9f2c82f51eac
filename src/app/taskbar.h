// The taskbar button mirrors the progress bar and shows a failure, where the system
// offers that (Windows 7 and later). Elsewhere these calls change nothing.
#pragma once
#include <windows.h>

#include "app/window_state.h"

// Called on the window's thread.
void ShowTaskbarProgress(TaskbarButton& button, HWND window, int position);  // 0..100
void ShowTaskbarError(TaskbarButton& button, HWND window);                   // keeps the last position
void ClearTaskbar(TaskbarButton& button, HWND window);
