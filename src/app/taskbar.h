// The taskbar button mirrors the progress bar and shows a failure, where the system
// offers that (Windows 7 and later). Elsewhere these calls change nothing. The end
// of a flash, good or bad, also flashes the button while another window is in front.
#pragma once
#include <windows.h>

#include "app/window_state.h"

// Called on the window's thread.
void ShowTaskbarProgress(TaskbarButton& button, HWND window, int position);  // 0..100
// Keeps the last position; flashes the button while the window is behind another.
void ShowTaskbarError(TaskbarButton& button, HWND window);
void ClearTaskbar(TaskbarButton& button, HWND window);
// Flashes the button until the window comes to the front, unless `foreground` (the
// window in front) is the window or one it owns (its own message box, say).
void FlashTaskbarIfBehind(TaskbarButton& button, HWND window, HWND foreground);
