// What the program says at start about the run before it, from that run's log: a
// notice when it ended mid-flash (once per run), the second step after it wrote the
// boot loader, and the confirmation when the handheld reports the version it wrote.
#pragma once
#include <cstdint>

#include "app/window_state.h"

// Reads the newest log of an earlier run (bounded: its head and end) into `earlier`
// and logs what matters of it.
void ReadEarlierRun(EarlierRun* earlier);
// At the window's start: posts the notice when that run ended mid-flash and its notice
// was never shown.
void OfferEarlierRunNotice(const MainWindowState& state);
// Shows the notice and records that it was shown.
void ShowEarlierRunNotice(const MainWindowState& state);
// The earlier run completed a flash of the boot loader: the operating system is next.
bool StepTwoIsNext(const MainWindowState& state);
// The handheld reports the boot loader that the earlier run wrote.
bool BootLoaderConfirmed(const MainWindowState& state, uint16_t deviceVersion);
