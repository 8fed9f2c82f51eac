// The main window's dialog procedure and command table.
#pragma once
#include <windows.h>

#include <string>

// Sent to the main window to end the program; the window goes and the quit message
// follows. Every way out (Exit, the end of a download, missing files) asks this way.
constexpr UINT kEndProgramMessage = WM_APP + 2;
void EndProgram(HWND window);

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// What the window's creation does: discovery in programDirectory, then the controls.
void InitMainWindow(HWND window, const std::wstring& programDirectory);
