// The two records exchanged with the handheld, read and written through the pipes.
#pragma once
#include <windows.h>

#include <cstdint>
#include <optional>

#include "device/records.h"

class DevicePin;  // device/device_pin.h

// Reads one status report through `pin` (the first present device when none is
// given) and judges it. A device that answers is pinned. *error (when given)
// receives the system error code behind a lost read (ERROR_HANDLE_EOF for a read
// that delivered no byte, ERROR_CANCELLED for a read given up because `stop`, a
// manual-reset event, was set), else 0.
VersionAnswer QueryBootVersion(DWORD* error = nullptr, DevicePin* pin = nullptr, HANDLE stop = nullptr);
// Writes one command packet to the data pipe of the pinned device (the first present
// one when none is given); true when every byte went. Shows nothing: the caller
// decides what the user sees. *error (when given) receives the system error code of
// a failure, else 0.
bool WriteCommandPacket(unsigned code, DWORD* error = nullptr, const DevicePin* pin = nullptr);
