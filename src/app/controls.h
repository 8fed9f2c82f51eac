// The main window's control group, progress bar and status line. Every part of the
// program changes the window only through these operations, so that the flash code
// never needs the dialog procedure.
#pragma once
#include <windows.h>
#include <string>

// Instance handle and main window, written once on the main thread before any worker.
void SetAppInstance(HINSTANCE instance);
HINSTANCE AppInstance();
void SetMainWindow(HWND window);
HWND MainWindow();

// Looks up the controls of the main window and sets the progress range 0..100.
void CacheControls(HWND window);
// Forgets the cached controls (the window is gone; also used between tests).
void ForgetControls();
bool ControlsCached();

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
