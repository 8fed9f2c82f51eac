// Starts a download of one image and streams it to the device on a worker.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "device/device_pin.h"
#include "flash/events.h"
#include "images/image_header.h"

enum class StartResult {
  Started,   // the worker runs; it reports to the events until Done
  NoDevice,  // not in flash mode (yet): nothing shown, the caller may try again
  Refused,   // failed for a reason of its own, already reported: trying again cannot help
};

// An image read whole and checked, ready to go out: nothing of it has been sent.
struct VerifiedImage {
  std::wstring name;
  std::unique_ptr<uint8_t[]> bytes;
  uint32_t size = 0;
  ImageKind kind = ImageKind::Unknown;
};

// Reads the named image from `directory` (which ends with a backslash) whole,
// checks its header and every checksum file that applies to it, and reports each
// step to `events`. True: `verified` holds it. False: refused, with the Failure
// reported; or given up because `stop` (a manual-reset event, optional) was set.
// Touches no device: an image that is not vouched for never reaches one.
bool ReadVerifiedImage(const std::wstring& directory, const std::wstring& imageName,
                       const std::shared_ptr<FlashEvents>& events, HANDLE stop, VerifiedImage* verified);

// Opens the data pipe through `pin` (and pins the device that opened, when nothing
// was pinned yet) and starts the worker with `image`, which talks to that one device
// only and reports to `events` (kept alive until it is Done). Started: the worker
// owns the image now. NoDevice: `image` is kept for the next attempt.
StartResult StartDownload(VerifiedImage& image, const std::shared_ptr<FlashEvents>& events, DevicePin& pin);

// True from the opening of the data pipe until the start is refused or the worker
// has finished.
bool IsDownloadRunning();
