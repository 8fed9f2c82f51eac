// The two records exchanged with the handheld, read and written through the pipes.
#pragma once
#include <windows.h>

#include <cstdint>
#include <optional>

#include "device/records.h"

// Reads one status report: the version word of a version reply, 0 for a report that
// carries none. Nothing when no report came (no device, pipe error, time-out, a
// connection closed or a read that delivered no byte): that is no answer at all.
// *error (when given) receives the system error code behind no answer
// (ERROR_HANDLE_EOF for a read that delivered no byte), else 0.
std::optional<uint16_t> QueryBootVersion(DWORD* error = nullptr);
// Writes one command packet to the data pipe; true when every byte went. Shows
// nothing: the caller decides what the user sees. *error (when given) receives the
// system error code of a failure, else 0.
bool WriteCommandPacket(unsigned code, DWORD* error = nullptr);
