// Starts a download of one image and streams it to the device on a worker.
#pragma once
#include <memory>
#include <string>

#include "flash/events.h"

enum class StartResult {
  Started,   // the worker runs; it reports to the events until Done
  NoDevice,  // not in flash mode (yet): nothing shown, the caller may try again
  Refused,   // failed for a reason of its own, already reported: trying again cannot help
};

// Opens the data pipe, loads and checks the named image from `directory` (which ends
// with a backslash) and starts the worker, which reports to `events` (kept alive
// until it is Done).
StartResult StartDownload(const std::wstring& directory, const std::wstring& imageName,
                          const std::shared_ptr<FlashEvents>& events);

// True from the start of the image load until the start is refused or the worker
// has finished.
bool IsDownloadRunning();
