// The main window's control group, progress bar, status line and message boxes.
// Only the window's own thread calls these: other threads report, the window acts.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "text/text.h"

// The main window, written once when it is created.
void SetMainWindow(HWND window);
HWND MainWindow();

// Looks up the controls of the main window and sets the progress range 0..100.
void CacheControls(HWND window);
// Forgets the cached controls (the window is gone; also used between tests).
void ForgetControls();
bool ControlsCached();

// Enables Update exactly when the update allowed flag is set and the box is ticked.
void ApplyAcknowledgementRule(HWND window);

void SetControlsEnabled(bool enable);
void SetControlsFailed();
void SetProgress(int value, bool done);
void ResetProgress();

// The bar position shown for a progress value: 100 when done, else capped at 95.
int ProgressPosition(int value, bool done);

// The status line control (null while the controls are not cached). Message boxes
// raised during a download use it as their owner.
HWND StatusLine();
// Sets the status line through its cached handle (no effect while not cached).
void SetStatusText(const std::wstring& text);

// The size field: an image's size in whole KiB.
void ShowImageSize(HWND window, uint32_t bytes);

// Message box with a caption from the string table.
int ShowMessage(HWND owner, const std::wstring& text, UINT captionId, UINT flags);
// "Error" box with the error icon, as every failure of the program shows it.
void ShowError(HWND owner, const std::wstring& text);
