// The main window's dialog procedure and command table.
#pragma once
#include <windows.h>

struct MainWindowState;

// The creation parameter is the window's state (a MainWindowState*, with its program
// directory set), which the creator keeps until the window has gone.
INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// What the window's creation does: discovery in the state's program directory, then
// the controls.
void InitMainWindow(HWND window, MainWindowState& state);
