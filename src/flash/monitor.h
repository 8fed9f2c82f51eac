// Follows the device's own format and write stages once a second after a large image
// has been sent, and sends the closing command packet when the image is stored.
#pragma once
#include "flash/events.h"

// Runs on the download worker. True when the device reported the image stored and the
// command packet was written; false on every failure, each reported to `events`.
bool MonitorFlashing(FlashEvents& events);

// Writes the command packet and reports it; a failed write is reported as a failure
// ("bResult Error") and answers false.
bool SendCommandPacket(unsigned code, FlashEvents& events);

// The failure that a broken USB link is shown as, with its cause.
FlashFailure BrokenConnection(DWORD systemError);

// The device's failure captions, as the Big5 bytes it is known by.
extern const char kFormatFailedCaptionBig5[];
extern const char kWriteFailedCaptionBig5[];
