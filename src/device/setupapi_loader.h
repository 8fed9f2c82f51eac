// SetupAPI, loaded from System32 only: a setupapi.dll planted next to the program or
// in the current directory is never picked up.
#pragma once
#include <windows.h>
#include <setupapi.h>

struct SetupApi {
  decltype(&SetupDiGetClassDevsA) getClassDevs;
  decltype(&SetupDiEnumDeviceInterfaces) enumDeviceInterfaces;
  decltype(&SetupDiGetDeviceInterfaceDetailA) getDeviceInterfaceDetail;
  decltype(&SetupDiDestroyDeviceInfoList) destroyDeviceInfoList;
};

// The loaded functions, or null when the library or one of them is missing.
const SetupApi* LoadSetupApi();
// Why the library or one of its functions could not be had (0 when it loaded).
DWORD SetupApiLoadError();
