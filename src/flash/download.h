// Starts a download of the selected image and streams it to the device on a worker.
#pragma once
#include <windows.h>

// Opens the data pipe, loads and checks the image selected in the image list and
// starts the worker. 1 when the worker runs, 0 when not (the caller may try again;
// some failures have shown their own message).
int StartDownload(HWND mainWindow);

// True from a successful start until the worker has finished.
bool IsDownloadRunning();
