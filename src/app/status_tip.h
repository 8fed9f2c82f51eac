// The status line shows one line and ends a longer text in "…". A tip over it then
// shows the whole text, so that no text is lost for a user who points at it.
#pragma once
#include <windows.h>

// Adds the tip to the main window's status line (once, when the window is created).
void AddStatusTip(HWND window);

// The main window's WM_NOTIFY: true when it was the tip asking for its text, which is
// the status line's text when that does not fit, else none (no tip is shown).
bool AnswerStatusTip(HWND window, LPARAM lParam);

// Whether `text` fits the status line on one line in its own font.
bool FitsStatusLine(HWND status, const wchar_t* text);
