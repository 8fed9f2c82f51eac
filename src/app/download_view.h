// The window's side of an update: it receives what the pre-flight and the flash code
// report and shows it on the window's own thread, in the order reported.
#pragma once
#include <windows.h>

#include <memory>

#include "app/preflight.h"
#include "app/window_state.h"
#include "flash/events.h"

// The events of a download shown in `window` (the main window). Calls from the
// window's thread act at once; calls from another thread are posted and act when
// the window's thread comes to them, without the caller waiting.
std::shared_ptr<FlashEvents> WindowEvents(HWND window);

// Applies the reports that wait for the window, in order: what to show, and the
// window's phase. Reports arriving while a
// message box of an earlier one is open wait for it, so boxes, status texts and
// control states keep their order.
void HandleDownloadReport(MainWindowState& state);
// Reports from other threads that no window has taken yet.
size_t DownloadReportsWaiting();

// The pre-flight's reports to `window`, delivered as WindowEvents' are: through the
// same outbox, in the order they were made.
std::shared_ptr<PreflightEvents> WindowPreflightReports(HWND window);
