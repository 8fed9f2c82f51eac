// The main window's control group, progress bar, status line and message boxes.
// Only the window's own thread calls these: other threads report, the window acts.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "app/window_state.h"
#include "text/text.h"

// Looks up the controls of the main window and sets the progress range 0..100.
void CacheControls(MainWindowState& state);
bool ControlsCached(const MainWindowState& state);

// Enters `phase` and sets every control's enabled state from it.
void SetPhase(MainWindowState& state, Phase phase);
// The acknowledgement box was clicked: while idle, Update follows it.
void NoteAcknowledgement(MainWindowState& state, bool ticked);

void SetProgress(MainWindowState& state, int value, bool done);
void ResetProgress(MainWindowState& state);

// The bar position shown for a progress value: 100 when done, else capped at 95.
int ProgressPosition(int value, bool done);

// The one way to the status line: shows the text and logs it.
void ShowStatus(const MainWindowState& state, const std::wstring& text);

// The size field: an image's size in whole KiB.
void ShowImageSize(HWND window, uint32_t bytes);

// The one way to show a box: logs it and shows it. Returns MessageBox's answer.
int ShowBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags);
// A modeless dialog that stands for a box (the connection warning), logged as one.
HWND ShowDialogBox(HWND owner, UINT dialogId, DLGPROC proc, const std::wstring& text, const std::wstring& caption);
// A modal dialog of the program's own that stands for a box, logged as one (its text
// and caption as shown). Returns the dialog's result when it is closed.
INT_PTR ShowModalDialogBox(HWND owner, UINT dialogId, DLGPROC proc, LPARAM param, const std::wstring& text,
                           const std::wstring& caption);
// A box with a caption from the string table.
int ShowMessage(HWND owner, const std::wstring& text, UINT captionId, UINT flags);
// "Error" box with the error icon, as every failure of the program shows it.
void ShowError(HWND owner, const std::wstring& text);
