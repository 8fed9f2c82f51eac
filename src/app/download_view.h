// The window's side of a download: it receives what the flash code reports and
// shows it on the window's own thread, in the order reported.
#pragma once
#include <windows.h>

#include <memory>

#include "app/window_state.h"
#include "device/device_pin.h"
#include "flash/download.h"
#include "flash/events.h"

// The events of a download shown in `window` (the main window). Calls from the
// window's thread act at once; calls from another thread are posted and act when
// the window's thread comes to them, without the caller waiting.
std::shared_ptr<FlashEvents> WindowEvents(HWND window);

// Applies the reports that wait for the window, in order. Reports arriving while a
// message box of an earlier one is open wait for it, so boxes, status texts and
// control states keep their order.
void HandleDownloadReport(MainWindowState& state);
// Reports from other threads that no window has taken yet.
size_t DownloadReportsWaiting();

// Starts a download of the image selected in the window's image list to the run's
// device, reporting to the window. A started download leaves the window busy.
StartResult StartSelectedDownload(MainWindowState& state, DevicePin& pin);
// The same to the first present device.
StartResult StartSelectedDownload(MainWindowState& state);
