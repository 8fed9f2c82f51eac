// The warning that the desktop synchronisation service still claims the USB
// connection: a dialog with a picture that stands for a message box.
#pragma once
#include <windows.h>

// Opens the warning over `window`. Closing it puts its text in the status line and
// gives the controls back.
void OpenConnectionWarning(HWND window);

INT_PTR CALLBACK ConnectionWarningProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
