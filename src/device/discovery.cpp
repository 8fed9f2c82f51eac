#include "device/discovery.h"

#include <cstdlib>
#include <memory>

#include "device/error.h"
#include "device/setupapi_loader.h"

// {8E120C45-4968-4188-BA19-9A82361C8FA8}
const GUID kDeviceInterfaceGuid = {0x8E120C45, 0x4968, 0x4188, {0xBA, 0x19, 0x9A, 0x82, 0x36, 0x1C, 0x8F, 0xA8}};
const char kStatusPipe[] = "PIPE00";
const char kDataPipe[] = "PIPE01";

namespace {

// The device path buffer: the one state the device link keeps between calls, for the
// whole process. This file owns it; only OpenPipe writes it, and DevicePathBuffer
// reads it. Grows as needed, so a device path of any length is neither cut nor
// overflowed.
std::string g_devicePath;

// A healthy set ends its enumeration with ERROR_NO_MORE_ITEMS long before this; the
// bound only stops a set that fails every call from being enumerated forever.
constexpr DWORD kMaxInterfaceIndex = 4096;

HANDLE OpenForReadWrite(const std::string& path, DWORD flags, DWORD* error) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, flags, nullptr);
  KeepError(error, h == INVALID_HANDLE_VALUE ? Cause(GetLastError()) : 0);
  return h;
}

}  // namespace

HANDLE OpenDeviceInterface(HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA interfaceData, std::string& pathOut,
                           DWORD* error) {
  const SetupApi* api = LoadSetupApi();
  if (!api) {
    KeepError(error, SetupApiLoadError());
    return INVALID_HANDLE_VALUE;
  }
  DWORD required = 0;
  api->getDeviceInterfaceDetail(deviceInfoSet, interfaceData, nullptr, 0, &required, nullptr);
  // The block must at least hold the fixed part, whatever the first call reported.
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) required = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[required + 1]());
  if (!block) {
    KeepError(error, ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.get());
  // The size of the fixed part on the architecture built (8 on x64, 5 on x86).
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!api->getDeviceInterfaceDetail(deviceInfoSet, interfaceData, detail, required, nullptr, nullptr)) {
    KeepError(error, Cause(GetLastError()));
    return INVALID_HANDLE_VALUE;
  }
  // The extra zero byte after the block keeps an unterminated path inside it.
  pathOut.assign(detail->DevicePath);
  return OpenForReadWrite(pathOut, 0, error);
}

HANDLE FindDevice(const GUID& guid, std::string& pathOut, DWORD* error) {
  const SetupApi* api = LoadSetupApi();
  if (!api) {
    KeepError(error, SetupApiLoadError());
    return INVALID_HANDLE_VALUE;
  }
  HDEVINFO set = api->getClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  // Without a set every enumeration call would fail: nothing to find.
  if (set == INVALID_HANDLE_VALUE) {
    KeepError(error, Cause(GetLastError()));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE result = INVALID_HANDLE_VALUE;
  DWORD lastError = ERROR_NO_MORE_ITEMS;
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  for (DWORD index = 0; index < kMaxInterfaceIndex; ++index) {
    if (api->enumDeviceInterfaces(set, nullptr, &guid, index, &interfaceData)) {
      result = OpenDeviceInterface(set, &interfaceData, pathOut, &lastError);
      if (result != INVALID_HANDLE_VALUE) break;
    } else {
      DWORD enumError = GetLastError();
      // The end of the list keeps the cause of the last interface that failed.
      if (enumError == ERROR_NO_MORE_ITEMS) break;
      lastError = Cause(enumError);
    }
  }
  api->destroyDeviceInfoList(set);
  KeepError(error, result == INVALID_HANDLE_VALUE ? lastError : 0);
  return result;
}

bool IsDevicePresent(const GUID& guid, std::string& pathOut, DWORD* error) {
  HANDLE device = FindDevice(guid, pathOut, error);
  if (device == INVALID_HANDLE_VALUE) return false;
  CloseHandle(device);
  return true;
}

HANDLE OpenPipe(const char* pipeName, DWORD* error) {
  if (!IsDevicePresent(kDeviceInterfaceGuid, g_devicePath, error)) return INVALID_HANDLE_VALUE;
  g_devicePath += "\\";
  g_devicePath += pipeName;
  return OpenForReadWrite(g_devicePath, FILE_FLAG_OVERLAPPED, error);
}

const std::string& DevicePathBuffer() { return g_devicePath; }
