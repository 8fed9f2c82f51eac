#include "device/discovery.h"

#include <cstdlib>
#include <memory>

#include "device/setupapi_loader.h"

// {8E120C45-4968-4188-BA19-9A82361C8FA8}
const GUID kDeviceInterfaceGuid = {0x8E120C45, 0x4968, 0x4188, {0xBA, 0x19, 0x9A, 0x82, 0x36, 0x1C, 0x8F, 0xA8}};
const char kStatusPipe[] = "PIPE00";
const char kDataPipe[] = "PIPE01";

namespace {

// Grows as needed, so a device path of any length is neither cut nor overflowed.
std::string g_devicePath;

// A healthy set ends its enumeration with ERROR_NO_MORE_ITEMS long before this; the
// bound only stops a set that fails every call from being enumerated forever.
constexpr DWORD kMaxInterfaceIndex = 4096;

HANDLE OpenForReadWrite(const std::string& path, DWORD flags) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

}  // namespace

HANDLE OpenDeviceInterface(HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA interfaceData, std::string& pathOut) {
  const SetupApi* api = LoadSetupApi();
  if (!api) return INVALID_HANDLE_VALUE;
  DWORD required = 0;
  api->getDeviceInterfaceDetail(deviceInfoSet, interfaceData, nullptr, 0, &required, nullptr);
  // The block must at least hold the fixed part, whatever the first call reported.
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) required = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[required + 1]());
  if (!block) return INVALID_HANDLE_VALUE;
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.get());
  // The size of the fixed part on the architecture built (8 on x64, 5 on x86).
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!api->getDeviceInterfaceDetail(deviceInfoSet, interfaceData, detail, required, nullptr, nullptr)) {
    return INVALID_HANDLE_VALUE;
  }
  // The extra zero byte after the block keeps an unterminated path inside it.
  pathOut.assign(detail->DevicePath);
  return OpenForReadWrite(pathOut, 0);
}

HANDLE FindDevice(const GUID& guid, std::string& pathOut) {
  const SetupApi* api = LoadSetupApi();
  if (!api) return INVALID_HANDLE_VALUE;
  HDEVINFO set = api->getClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  // Without a set every enumeration call would fail: nothing to find.
  if (set == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  HANDLE result = INVALID_HANDLE_VALUE;
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  for (DWORD index = 0; index < kMaxInterfaceIndex; ++index) {
    if (api->enumDeviceInterfaces(set, nullptr, &guid, index, &interfaceData)) {
      result = OpenDeviceInterface(set, &interfaceData, pathOut);
      if (result != INVALID_HANDLE_VALUE) break;
    } else if (GetLastError() == ERROR_NO_MORE_ITEMS) {
      break;
    }
  }
  api->destroyDeviceInfoList(set);
  return result;
}

int IsDevicePresent(const GUID& guid, std::string& pathOut) {
  HANDLE device = FindDevice(guid, pathOut);
  if (device == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(device);
  return 1;
}

HANDLE OpenPipe(const char* pipeName) {
  if (!IsDevicePresent(kDeviceInterfaceGuid, g_devicePath)) return INVALID_HANDLE_VALUE;
  g_devicePath += "\\";
  g_devicePath += pipeName;
  return OpenForReadWrite(g_devicePath, FILE_FLAG_OVERLAPPED);
}

const std::string& DevicePathBuffer() { return g_devicePath; }
