#include "device/setupapi_loader.h"

#include "util/windows_compat.h"

namespace {

template <typename T>
bool Bind(HMODULE module, const char* name, T* out) {
  *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *out != nullptr;
}

DWORD g_loadError;

SetupApi LoadOnce(bool* ok) {
  SetupApi api{};
  HMODULE module = LoadSystemLibrary(L"setupapi.dll");
  *ok = module && Bind(module, "SetupDiGetClassDevsA", &api.getClassDevs) &&
        Bind(module, "SetupDiEnumDeviceInterfaces", &api.enumDeviceInterfaces) &&
        Bind(module, "SetupDiGetDeviceInterfaceDetailA", &api.getDeviceInterfaceDetail) &&
        Bind(module, "SetupDiDestroyDeviceInfoList", &api.destroyDeviceInfoList);
  if (!*ok) g_loadError = GetLastError() ? GetLastError() : ERROR_PROC_NOT_FOUND;
  return api;
}

}  // namespace

const SetupApi* LoadSetupApi() {
  // Loaded once for the whole run; thread-safe initialisation of a local static.
  static bool ok = false;
  static const SetupApi api = LoadOnce(&ok);
  return ok ? &api : nullptr;
}

DWORD SetupApiLoadError() {
  LoadSetupApi();
  return g_loadError;
}
