#include "registration.h"

#include <cfgmgr32.h>
#include <winternl.h>

#include <cwctype>
#include <vector>

namespace r47sim {
namespace {

// The r47 interface class, as the program under test enumerates it.
const GUID kInterfaceClass = {0x8E120C45, 0x4968, 0x4188, {0xBA, 0x19, 0x9A, 0x82, 0x36, 0x1C, 0x8F, 0xA8}};
const wchar_t kInterfaceClassText[] = L"{8E120C45-4968-4188-BA19-9A82361C8FA8}";
// The setup class of USB devices (GUID_DEVCLASS_USB).
const GUID kUsbSetupClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
// The simulator's made-up USB ids; every device instance it registers starts so.
const wchar_t kInstancePrefix[] = L"USB\\VID_0E47&PID_0047\\";
const wchar_t kDeviceClassesKey[] = L"System\\CurrentControlSet\\Control\\DeviceClasses\\";
// Held by each running simulator: a registered device whose object is gone has no owner.
const wchar_t kOwnerPrefix[] = L"Local\\r47sim-owner-";

constexpr LONG kStatusSuccess = 0;
constexpr ACCESS_MASK kSymbolicLinkAllAccess = 0xF0001;
constexpr ULONG kObjCaseInsensitive = 0x40;
using CreateSymbolicLinkFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);

std::wstring Widen(const std::string& s) {
  std::wstring w;
  for (unsigned char c : s) w += static_cast<wchar_t>(c);
  return w;
}

std::string Narrow(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.c_str(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  for (size_t i = 0; prefix[i]; ++i)
    if (i >= text.size() || std::towupper(text[i]) != std::towupper(prefix[i])) return false;
  return true;
}

std::string SystemError(const char* what, DWORD code) {
  return std::string(what) + " failed (error " + std::to_string(code) + ")";
}

// Object names are case-sensitive, instance ids are not (and come back upper-cased).
std::wstring OwnerObjectName(std::wstring name) {
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
  return kOwnerPrefix + name;
}

bool OwnerRunning(const std::wstring& name) {
  HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, OwnerObjectName(name).c_str());
  if (!h) return false;
  CloseHandle(h);
  return true;
}

// Devices of a simulator that was killed (or whose Wine session ended) stay
// registered: each start removes those whose owner is gone, so they never pile up.
void RemoveLeftovers() {
  HDEVINFO all = SetupDiGetClassDevsW(&kInterfaceClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  if (all == INVALID_HANDLE_VALUE) return;
  std::vector<SP_DEVINFO_DATA> orphans;
  SP_DEVINFO_DATA d{};
  d.cbSize = sizeof d;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(all, i, &d); ++i) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (!SetupDiGetDeviceInstanceIdW(all, &d, id, MAX_DEVICE_ID_LEN, nullptr)) continue;
    std::wstring instance = id;
    if (!StartsWithNoCase(instance, kInstancePrefix)) continue;
    if (!OwnerRunning(instance.substr(wcslen(kInstancePrefix)))) orphans.push_back(d);
  }
  for (SP_DEVINFO_DATA& orphan : orphans) SetupDiRemoveDevice(all, &orphan);
  SetupDiDestroyDeviceInfoList(all);
}

}  // namespace

Registration::~Registration() { Remove(); }

bool Registration::Create(const std::string& name, std::string& error) {
  const std::wstring wname = Widen(name);
  SetLastError(ERROR_SUCCESS);
  alive_ = CreateMutexW(nullptr, FALSE, OwnerObjectName(wname).c_str());
  if (!alive_ || GetLastError() == ERROR_ALREADY_EXISTS) {
    error = "another simulated handheld runs under the name " + name;
    return false;
  }
  RemoveLeftovers();

  set_ = SetupDiCreateDeviceInfoList(&kUsbSetupClass, nullptr);
  if (set_ == INVALID_HANDLE_VALUE) {
    error = SystemError("SetupDiCreateDeviceInfoList", GetLastError());
    return false;
  }
  const std::wstring instance = kInstancePrefix + wname;
  device_.cbSize = sizeof device_;
  bool fresh = SetupDiCreateDeviceInfoW(set_, instance.c_str(), &kUsbSetupClass, nullptr, nullptr, 0, &device_);
  if (!fresh) {
    DWORD e = GetLastError();
    // Left by an earlier run of the same name: take it over.
    if (e != ERROR_DEVINST_ALREADY_EXISTS || !SetupDiOpenDeviceInfoW(set_, instance.c_str(), nullptr, 0, &device_)) {
      error = SystemError("SetupDiCreateDeviceInfoW", e);
      return false;
    }
  }
  created_ = true;
  // Without this the instance disappears again when the set is destroyed.
  if (fresh && !SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr)) {
    error = SystemError("SetupDiRegisterDeviceInfo", GetLastError());
    return false;
  }
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  if (!SetupDiCreateDeviceInterfaceW(set_, &device_, &kInterfaceClass, wname.c_str(), 0, &iface)) {
    error = SystemError("SetupDiCreateDeviceInterfaceW", GetLastError());
    return false;
  }
  DWORD need = 0;
  SetupDiGetDeviceInterfaceDetailW(set_, &iface, nullptr, 0, &need, nullptr);
  std::vector<unsigned char> block(need + sizeof(wchar_t));
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block.data());
  detail->cbSize = sizeof *detail;
  if (need == 0 || !SetupDiGetDeviceInterfaceDetailW(set_, &iface, detail, need, nullptr, nullptr)) {
    error = SystemError("SetupDiGetDeviceInterfaceDetailW", GetLastError());
    return false;
  }
  // \\?\<device part>\<reference string>: the device part is what the link
  // names, and (with \\?\ read as ##?#) the interface's registry key.
  const std::wstring path = detail->DevicePath;
  const size_t slash = path.rfind(L'\\');
  if (path.compare(0, 4, L"\\\\?\\") != 0 || slash == std::wstring::npos || slash < 4) {
    error = "unexpected device path " + Narrow(path);
    return false;
  }
  const std::wstring devicePart = path.substr(4, slash - 4);
  path_ = Narrow(path);
  linkName_ = L"\\??\\" + devicePart;
  interfaceKey_ =
      std::wstring(kDeviceClassesKey) + kInterfaceClassText + L"\\##?#" + devicePart + L"\\#" + path.substr(slash + 1);
  HKEY key;
  LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, interfaceKey_.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key);
  if (r != ERROR_SUCCESS) {
    error = SystemError("opening the interface key", static_cast<DWORD>(r));
    return false;
  }
  RegCloseKey(key);
  return true;
}

// `Control\Linked` is what marks an interface present (on Windows its driver
// sets it). The key is volatile: it goes with the session that made it.
bool Registration::SetLinked(DWORD value) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (interfaceKey_ + L"\\Control").c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                      KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  LONG r = RegSetValueExW(key, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
  return r == ERROR_SUCCESS;
}

bool Registration::Plug(std::string& error) {
  if (!created_ || interfaceKey_.empty()) {
    error = "not registered";
    return false;
  }
  if (!link_) {
    auto create = reinterpret_cast<CreateSymbolicLinkFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateSymbolicLinkObject")));
    if (!create) {
      error = "NtCreateSymbolicLinkObject is missing";
      return false;
    }
    // The link to the pipe device itself, so that <path>\PIPE00 opens the pipe
    // NAME\PIPE00 (a link to \Device\NamedPipe\NAME serves no sub-path). It is
    // temporary: it lives while this process holds it.
    std::wstring target = L"\\Device\\NamedPipe";
    UNICODE_STRING name{static_cast<USHORT>(linkName_.size() * sizeof(wchar_t)),
                        static_cast<USHORT>(linkName_.size() * sizeof(wchar_t)), &linkName_[0]};
    UNICODE_STRING to{static_cast<USHORT>(target.size() * sizeof(wchar_t)),
                      static_cast<USHORT>(target.size() * sizeof(wchar_t)), &target[0]};
    OBJECT_ATTRIBUTES attr{};
    attr.Length = sizeof attr;
    attr.ObjectName = &name;
    attr.Attributes = kObjCaseInsensitive;
    HANDLE link = nullptr;
    LONG status = create(&link, kSymbolicLinkAllAccess, &attr, &to);
    if (status != kStatusSuccess) {
      error = "NtCreateSymbolicLinkObject failed (status " + std::to_string(static_cast<unsigned long>(status)) + ")";
      return false;
    }
    link_ = link;
  }
  if (!SetLinked(1)) {
    error = SystemError("setting Control\\Linked", GetLastError());
    return false;
  }
  return true;
}

void Registration::Unplug() {
  if (created_ && !interfaceKey_.empty()) SetLinked(0);
  if (link_) {
    CloseHandle(link_);
    link_ = nullptr;
  }
}

void Registration::Remove() {
  Unplug();
  if (set_ != INVALID_HANDLE_VALUE) {
    if (created_) SetupDiRemoveDevice(set_, &device_);
    SetupDiDestroyDeviceInfoList(set_);
    set_ = INVALID_HANDLE_VALUE;
  }
  created_ = false;
  if (alive_) {
    CloseHandle(alive_);
    alive_ = nullptr;
  }
}

}  // namespace r47sim
