// Checks of the substitute bus (the stand-in for setupapi.dll that makes the
// SetupAPI failures a registered device cannot make), loaded into this process
// as the program's tests load it.

#define _SETUPAPI_
#include <windows.h>
#include <gtest/gtest.h>
#include <setupapi.h>

#include <cstddef>
#include <string>
#include <vector>

#include "sim_harness.h"

namespace {

const GUID kClass = {0x8E120C45, 0x4968, 0x4188, {0xBA, 0x19, 0x9A, 0x82, 0x36, 0x1C, 0x8F, 0xA8}};

struct Bus {
  decltype(&SetupDiGetClassDevsA) getClassDevs = nullptr;
  decltype(&SetupDiEnumDeviceInterfaces) enumInterfaces = nullptr;
  decltype(&SetupDiGetDeviceInterfaceDetailA) detail = nullptr;
  decltype(&SetupDiDestroyDeviceInfoList) destroy = nullptr;
};

// Loaded as the program loads it: by name from System32 only, which gives the
// substitute once it is in this process.
Bus LoadBus() {
  Bus b;
  HMODULE m = LoadLibraryExW(L"setupapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!m) return b;
  auto get = [m](const char* name) { return reinterpret_cast<void*>(GetProcAddress(m, name)); };
  b.getClassDevs = reinterpret_cast<decltype(b.getClassDevs)>(get("SetupDiGetClassDevsA"));
  b.enumInterfaces = reinterpret_cast<decltype(b.enumInterfaces)>(get("SetupDiEnumDeviceInterfaces"));
  b.detail = reinterpret_cast<decltype(b.detail)>(get("SetupDiGetDeviceInterfaceDetailA"));
  b.destroy = reinterpret_cast<decltype(b.destroy)>(get("SetupDiDestroyDeviceInfoList"));
  return b;
}

// SetupAPI's record sizes differ between 32-bit and 64-bit processes, and each checks
// for its own: the sizes of this build, and those of the other architecture.
#ifdef _WIN64
constexpr DWORD kInterfaceSize = 32, kOtherInterfaceSize = 28, kDetailSize = 8, kOtherDetailSize = 5;
#else
constexpr DWORD kInterfaceSize = 28, kOtherInterfaceSize = 32, kDetailSize = 5, kOtherDetailSize = 8;
#endif
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == kInterfaceSize, "interface record of this architecture");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == kDetailSize, "detail record of this architecture");

class SimBus : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(simctl::UseSubstituteBus(error)) << error;
    bus = LoadBus();
    ASSERT_TRUE(bus.getClassDevs && bus.enumInterfaces && bus.detail && bus.destroy);
    simctl::SetBusClassDevsFail(false);
    simctl::SetBusDevices({"\\\\.\\pipe\\first", "!\\\\.\\pipe\\second", "\\\\.\\pipe\\third"});
    set = bus.getClassDevs(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA probe{};
    probe.cbSize = sizeof probe;
    ASSERT_TRUE(bus.enumInterfaces(set, nullptr, &kClass, 0, &probe)) << "the substitute bus lists nothing";
  }
  void TearDown() override {
    if (set != INVALID_HANDLE_VALUE && bus.destroy) bus.destroy(set);
    simctl::SetBusDevices({});
    simctl::SetBusClassDevsFail(false);
  }
  SP_DEVICE_INTERFACE_DATA Interface(DWORD index) {
    SP_DEVICE_INTERFACE_DATA d{};
    d.cbSize = sizeof d;
    EXPECT_TRUE(bus.enumInterfaces(set, nullptr, &kClass, index, &d)) << GetLastError();
    return d;
  }
  Bus bus;
  HDEVINFO set = INVALID_HANDLE_VALUE;
};

TEST_F(SimBus, EnumerationChecksRecordSizeClassAndIndex) {
  const GUID other = {0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  struct Case {
    const char* what;
    DWORD cbSize;
    const GUID* guid;
    DWORD index;
    BOOL ok;
    DWORD error;
  } cases[] = {
      {"other architecture's record size", kOtherInterfaceSize, &kClass, 0, FALSE, ERROR_INVALID_PARAMETER},
      {"zero record size", 0, &kClass, 0, FALSE, ERROR_INVALID_PARAMETER},
      {"first", kInterfaceSize, &kClass, 0, TRUE, 0},
      {"last", kInterfaceSize, &kClass, 2, TRUE, 0},
      {"past the end", kInterfaceSize, &kClass, 3, FALSE, ERROR_NO_MORE_ITEMS},
      {"other class", kInterfaceSize, &other, 0, FALSE, ERROR_NO_MORE_ITEMS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SP_DEVICE_INTERFACE_DATA d{};
    d.cbSize = c.cbSize;
    SetLastError(0xDEAD);
    BOOL ok = bus.enumInterfaces(set, nullptr, c.guid, c.index, &d);
    EXPECT_EQ(ok, c.ok);
    if (!c.ok) {
      EXPECT_EQ(GetLastError(), c.error);
    } else {
      EXPECT_TRUE(IsEqualGUID(d.InterfaceClassGuid, kClass));
    }
  }
  // Another class asked for at set creation gives an empty set.
  HDEVINFO empty = bus.getClassDevs(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(empty, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA d{};
  d.cbSize = sizeof d;
  EXPECT_FALSE(bus.enumInterfaces(empty, nullptr, &kClass, 0, &d));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_TRUE(bus.destroy(empty));
}

TEST_F(SimBus, DetailQueryFollowsTheTwoCallPattern) {
  const std::string path = "\\\\.\\pipe\\first";
  const DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  SP_DEVICE_INTERFACE_DATA iface = Interface(0);

  DWORD required = 0;
  EXPECT_FALSE(bus.detail(set, &iface, nullptr, 0, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, need);

  struct Case {
    const char* what;
    DWORD cbSize;
    DWORD bufSize;
    BOOL ok;
    DWORD error;
  } cases[] = {
      {"other architecture's record size", kOtherDetailSize, need, FALSE, ERROR_INVALID_USER_BUFFER},
      {"whole block as record size", need, need, FALSE, ERROR_INVALID_USER_BUFFER},
      {"one byte short", kDetailSize, need - 1, FALSE, ERROR_INSUFFICIENT_BUFFER},
      {"exact", kDetailSize, need, TRUE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<char> block(need + 16, 'x');
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
    detail->cbSize = c.cbSize;
    SetLastError(0xDEAD);
    BOOL ok = bus.detail(set, &iface, detail, c.bufSize, nullptr, nullptr);
    EXPECT_EQ(ok, c.ok);
    if (!c.ok) {
      EXPECT_EQ(GetLastError(), c.error);
    } else {
      EXPECT_EQ(std::string(detail->DevicePath), path);
    }
  }

  // Interface records are bound to their set and to a real enumeration.
  std::vector<char> block(need);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
  detail->cbSize = sizeof *detail;
  SP_DEVICE_INTERFACE_DATA forged{};
  forged.cbSize = sizeof forged;
  EXPECT_FALSE(bus.detail(set, &forged, detail, need, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SP_DEVICE_INTERFACE_DATA shortIface = iface;
  shortIface.cbSize = kOtherInterfaceSize;
  EXPECT_FALSE(bus.detail(set, &shortIface, detail, need, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SimBus, MarkedInterfaceFailsItsDetailQuery) {
  SP_DEVICE_INTERFACE_DATA iface = Interface(1);
  DWORD required = 0;
  EXPECT_FALSE(bus.detail(set, &iface, nullptr, 0, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(required, 8u);
  std::vector<char> block(required);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
  detail->cbSize = sizeof *detail;
  EXPECT_FALSE(bus.detail(set, &iface, detail, required, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST_F(SimBus, SetsFollowTheEnvironmentAndHandlesAreChecked) {
  // The device list is read when a set is made, not when the DLL loaded.
  simctl::SetBusDevices({"\\\\.\\pipe\\only"});
  HDEVINFO one = bus.getClassDevs(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(one, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA d{};
  d.cbSize = sizeof d;
  EXPECT_TRUE(bus.enumInterfaces(one, nullptr, &kClass, 0, &d));
  EXPECT_FALSE(bus.enumInterfaces(one, nullptr, &kClass, 1, &d));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  // An interface record of one set is refused by another.
  std::vector<char> block(64);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
  detail->cbSize = sizeof *detail;
  EXPECT_FALSE(bus.detail(set, &d, detail, 64, nullptr, nullptr));
  EXPECT_TRUE(bus.destroy(one));

  simctl::SetBusClassDevsFail(true);
  HDEVINFO failed = bus.getClassDevs(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_EQ(failed, INVALID_HANDLE_VALUE);
  for (DWORD index : {0u, 1u}) {
    EXPECT_FALSE(bus.enumInterfaces(failed, nullptr, &kClass, index, &d));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_FALSE(bus.destroy(failed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
