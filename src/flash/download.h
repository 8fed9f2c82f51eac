// Starts a download of one image and streams it to the device on a worker.
#pragma once
#include <memory>
#include <string>

#include "device/device_pin.h"
#include "flash/events.h"

enum class StartResult {
  Started,   // the worker runs; it reports to the events until Done
  NoDevice,  // not in flash mode (yet): nothing shown, the caller may try again
  Refused,   // failed for a reason of its own, already reported: trying again cannot help
};

// Opens the data pipe through `pin` (and pins the device that opened, when nothing
// was pinned yet), loads the named image from `directory` (which ends with a
// backslash), checks its header and its checksum file (if one lies beside it) and
// starts the worker, which talks to that one device only and reports to `events`
// (kept alive until it is Done).
StartResult StartDownload(const std::wstring& directory, const std::wstring& imageName,
                          const std::shared_ptr<FlashEvents>& events, DevicePin& pin);
// The same for the first present device.
StartResult StartDownload(const std::wstring& directory, const std::wstring& imageName,
                          const std::shared_ptr<FlashEvents>& events);

// True from the start of the image load until the start is refused or the worker
// has finished.
bool IsDownloadRunning();
