// The Update command: pre-flight checks, version query, image choice and start.
#pragma once
#include <windows.h>

struct MainWindowState;

void RunUpdate(MainWindowState& state);
// 0 when the desktop synchronisation service still claims the USB connection.
int CheckSyncConnection();
