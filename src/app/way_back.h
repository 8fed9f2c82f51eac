// The window after a failed flash: what reached the device, the last stage it
// reported, what it may hold now, the next steps and this run's log. Modal over the
// main window; the reports that come meanwhile (the download's end) wait for it.
#pragma once
#include "app/window_state.h"
#include "flash/events.h"

// Shows the window for `failure` when it is one that gets it (way_back_rules.h),
// with what `state` saw of the run. Returns when the user closed it.
void ShowWayBack(MainWindowState& state, const FlashFailure& failure, Phase phaseAtFailure);
