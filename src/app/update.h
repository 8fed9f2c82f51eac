// The Update command: pre-flight checks, version query, image choice and start.
#pragma once
#include <windows.h>

void RunUpdate(HWND window);
// 0 when the desktop synchronisation service still claims the USB connection.
int CheckSyncConnection();
