// The Update command: pre-flight checks, version query, image choice and start.
#pragma once
#include <windows.h>

struct MainWindowState;

void RunUpdate(MainWindowState& state);
// False when the desktop synchronisation service still claims the USB connection.
bool CheckSyncConnection();
