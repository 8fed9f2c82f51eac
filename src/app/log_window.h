// The two items the program adds to the main window's system menu: the log in a
// read-only window (this run's, or a kept earlier run's picked from a list that says
// how each ended; buttons copy it to the clipboard and open the log folder), and the
// program's version.
#pragma once
#include <windows.h>

#include <string>

// Appends the two items to the window's system menu.
void AddSystemMenuItems(HWND window);
// Acts on a WM_SYSCOMMAND of one of the items; false for any other command.
bool HandleSystemMenuCommand(HWND window, WPARAM command);

// Opens the log window over `owner` (modeless; the program's loop serves it).
HWND OpenLogWindow(HWND owner);
INT_PTR CALLBACK LogWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Puts the text on the clipboard as Unicode text; false when the clipboard refused.
bool CopyToClipboard(HWND owner, const std::wstring& text);

// The program's version from its version resource, e.g. "1.0.0.0" ("" when absent).
std::wstring ProgramVersion();
// The text of the Info box.
std::wstring AboutText();
