// How the device layer hands back the system error code behind a result.
#pragma once
#include <windows.h>

// Stores code in *error when the caller asked for it.
inline void KeepError(DWORD* error, DWORD code) {
  if (error) *error = code;
}

// A failure whose cause the system did not name still counts as one.
inline DWORD Cause(DWORD code) { return code ? code : ERROR_GEN_FAILURE; }
