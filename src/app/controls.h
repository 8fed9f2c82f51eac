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

// Enables Update exactly when the update allowed flag is set and the box is ticked.
void ApplyAcknowledgementRule(const MainWindowState& state);

void SetControlsEnabled(MainWindowState& state, bool enable);
void SetControlsFailed(MainWindowState& state);
// The pre-flight's waits, before anything is sent: busy, but Exit still ends the program.
void SetControlsPreflight(MainWindowState& state);
void SetProgress(MainWindowState& state, int value, bool done);
void ResetProgress(MainWindowState& state);

// The bar position shown for a progress value: 100 when done, else capped at 95.
int ProgressPosition(int value, bool done);

// Sets the status line through its cached handle (no effect while not cached).
void SetStatusText(const MainWindowState& state, const std::wstring& text);

// The size field: an image's size in whole KiB.
void ShowImageSize(HWND window, uint32_t bytes);

// Message box with a caption from the string table.
int ShowMessage(HWND owner, const std::wstring& text, UINT captionId, UINT flags);
// "Error" box with the error icon, as every failure of the program shows it.
void ShowError(HWND owner, const std::wstring& text);
