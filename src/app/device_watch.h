// While the window is idle, its status line says whether a handheld in ROM flash
// mode is connected: a look at the bus when the window opens, on every device arrival
// or removal the system announces, and every two seconds (not every system announces
// a device of this class, and an arriving interface may open only a moment later).
// A look opens and closes each present device interface, as the flash's own discovery
// does; it never opens a pipe. While the window is busy nothing is looked at.
#pragma once
#include <windows.h>

#include "app/window_state.h"

// The window's timer for the look at the bus, and its period.
constexpr UINT_PTR kDeviceWatchTimer = 0x4757;
constexpr UINT kDeviceWatchPeriodMs = 2000;

// Starts the watch with a first look right away (the template's text is replaced at
// once). Nothing is watched when Update can never be enabled in this run: the status
// line then belongs to what says why.
void StartDeviceWatch(MainWindowState& state);
// Stops the timer and the system's announcements (before the window goes).
void StopDeviceWatch(MainWindowState& state);
// One look at the bus (WM_TIMER with kDeviceWatchTimer, WM_DEVICECHANGE).
void LookForDevice(MainWindowState& state);
