#include "device/discovery.h"

#include <cstdlib>
#include <memory>

#include "device/device_pin.h"
#include "device/error.h"
#include "device/setupapi_loader.h"

// {8E120C45-4968-4188-BA19-9A82361C8FA8}
const GUID kDeviceInterfaceGuid = {0x8E120C45, 0x4968, 0x4188, {0xBA, 0x19, 0x9A, 0x82, 0x36, 0x1C, 0x8F, 0xA8}};
const char kStatusPipe[] = "PIPE00";
const char kDataPipe[] = "PIPE01";

namespace {

// A healthy set ends its enumeration with ERROR_NO_MORE_ITEMS long before this; the
// bound only stops a set that fails every call from being enumerated forever.
constexpr DWORD kMaxInterfaceIndex = 4096;

HANDLE OpenForReadWrite(const std::string& path, DWORD flags, DWORD* error) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, flags, nullptr);
  KeepError(error, h == INVALID_HANDLE_VALUE ? Cause(GetLastError()) : 0);
  return h;
}

// Reads one interface's device path; false (with the cause) when its details cannot be had.
bool ReadInterfacePath(const SetupApi* api, HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA interfaceData,
                       std::string& pathOut, DWORD* error) {
  DWORD required = 0;
  api->getDeviceInterfaceDetail(deviceInfoSet, interfaceData, nullptr, 0, &required, nullptr);
  // The block must at least hold the fixed part, whatever the first call reported.
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) required = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[required + 1]());
  if (!block) {
    KeepError(error, ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.get());
  // The size of the fixed part on the architecture built (8 on x64, 5 on x86).
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!api->getDeviceInterfaceDetail(deviceInfoSet, interfaceData, detail, required, nullptr, nullptr)) {
    KeepError(error, Cause(GetLastError()));
    return false;
  }
  // The extra zero byte after the block keeps an unterminated path inside it.
  pathOut.assign(detail->DevicePath);
  return true;
}

// Walks the present interfaces of the class in the system's order. `visit` is given
// each interface's path and returns a handle to end the walk with, or the invalid
// handle to go on (setting *error to why it passed the interface by).
template <typename Visit>
HANDLE WalkPresentInterfaces(const GUID& guid, DWORD* error, Visit visit) {
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
      std::string path;
      if (!ReadInterfacePath(api, set, &interfaceData, path, &lastError)) continue;
      result = visit(path, &lastError);
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

// Device paths as the system spells them may differ in case from one listing to the next.
bool SamePath(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

HANDLE FindDevice(const GUID& guid, std::string& pathOut, DWORD* error) {
  return WalkPresentInterfaces(guid, error, [&pathOut](const std::string& path, DWORD* why) {
    pathOut = path;
    return OpenForReadWrite(path, 0, why);
  });
}

HANDLE FindDeviceAt(const GUID& guid, const std::string& devicePath, DWORD* error) {
  bool listed = false;
  HANDLE h = WalkPresentInterfaces(guid, error, [&](const std::string& path, DWORD* why) {
    // Another handheld is passed by unopened: nothing of this run reaches it.
    if (!SamePath(path, devicePath)) return INVALID_HANDLE_VALUE;
    listed = true;
    return OpenForReadWrite(path, 0, why);
  });
  if (h == INVALID_HANDLE_VALUE && !listed) KeepError(error, ERROR_DEVICE_NOT_CONNECTED);
  return h;
}

std::vector<std::string> PresentDevicePaths(DWORD* error) {
  std::vector<std::string> paths;
  WalkPresentInterfaces(kDeviceInterfaceGuid, error, [&paths](const std::string& path, DWORD* why) {
    HANDLE h = OpenForReadWrite(path, 0, why);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      paths.push_back(path);
    }
    return INVALID_HANDLE_VALUE;  // on to the next
  });
  if (error && !paths.empty()) *error = 0;
  return paths;
}

HANDLE OpenDevicePipe(const DevicePin& pin, const char* pipeName, std::string* opened, DWORD* error) {
  std::string path;
  // Before anything is pinned, the first present device; after, the pinned one only:
  // present and openable now, or it counts as missing.
  HANDLE device = pin.Pinned() ? FindDeviceAt(kDeviceInterfaceGuid, pin.Path(), error)
                               : FindDevice(kDeviceInterfaceGuid, path, error);
  if (device == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  CloseHandle(device);
  if (pin.Pinned()) path = pin.Path();
  HANDLE h = OpenForReadWrite(path + "\\" + pipeName, FILE_FLAG_OVERLAPPED, error);
  if (h != INVALID_HANDLE_VALUE && opened) *opened = path;
  return h;
}
