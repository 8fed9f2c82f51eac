// Follows the device's own format and write stages once a second after a large image
// has been sent, and sends the closing command packet when the image is stored.
#pragma once
#include "device/device_pin.h"
#include "flash/events.h"

// Runs on the download worker and polls `device` (the run's one device; the first
// present one while it pins nothing). True when the device reported the image stored
// and the command packet was written; false on every failure, each reported to
// `events`. A report too short for the fields its kind carries changes nothing, like
// an empty read.
bool MonitorFlashing(FlashEvents& events, const DevicePin& device);

// Writes the command packet to `device` and reports it; a failed write is reported
// as a failure ("bResult Error") and answers false.
bool SendCommandPacket(unsigned code, FlashEvents& events, const DevicePin& device);

// The failure that a broken USB link is shown as, with its cause.
FlashFailure BrokenConnection(DWORD systemError);
