// Finds the handheld in ROM flash mode among the present device interfaces of its
// class and opens its two pipes. Shows nothing: every failure is the invalid handle,
// and each operation can hand back the system error code behind it (`error`, when
// given: 0 on success).
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// {8E120C45-4968-4188-BA19-9A82361C8FA8}
extern const GUID kDeviceInterfaceGuid;

extern const char kStatusPipe[];  // "PIPE00"
extern const char kDataPipe[];    // "PIPE01"

// The first present interface of the class that opens; pathOut holds its path. When
// none opens, the error is that of the last interface tried, or the enumeration's
// own (ERROR_NO_MORE_ITEMS when the class has no present interface at all).
HANDLE FindDevice(const GUID& guid, std::string& pathOut, DWORD* error = nullptr);
// The present interface of the class with exactly this device path (a device that
// was replugged into the same port has its old path), opened; no other interface is
// opened. ERROR_DEVICE_NOT_CONNECTED when no present interface has that path.
HANDLE FindDeviceAt(const GUID& guid, const std::string& devicePath, DWORD* error = nullptr);
// The device paths of every present interface of the handheld's class that opens
// (each is opened and closed again), in the system's order.
std::vector<std::string> PresentDevicePaths(DWORD* error = nullptr);
// The pipes themselves are opened through a DevicePin (device/device_pin.h).
