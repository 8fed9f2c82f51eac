// The main window's dialog procedure and command table.
#pragma once
#include <windows.h>

#include <string>

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// What the window's creation does: discovery in programDirectory, then the controls.
void InitMainWindow(HWND window, const std::wstring& programDirectory);
