// The program's device discovery against the substitute bus: only the SetupAPI
// failures that a registered device cannot bring about. Everything a device can
// show (present, absent, listed but not openable, unplugged, replugged) is tested
// against the system's own SetupAPI in device_test.
#include <windows.h>
#include <gtest/gtest.h>
#include <setupapi.h>

#include "device/discovery.h"
#include "device/messages.h"
#include "sim_harness.h"
#include "test_support.h"
#include "util/handle.h"

using simctl::SetBusDevices;
using simctl::SimDevice;

namespace {

class SubstituteBus : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(simctl::UseSubstituteBus(error)) << error;
    device_ = SimDevice::Start();
    ASSERT_TRUE(device_) << simctl::LastError();
  }
  void TearDown() override {
    SetBusDevices({});
    simctl::SetBusClassDevsFail(false);
    simctl::SetBusLog("");
  }
  std::unique_ptr<SimDevice> device_;
};

// The system's SetupAPI refuses a set only when it runs out of memory.
TEST_F(SubstituteBus, SetThatCannotBeObtainedEndsTheSearchAtOnce) {
  SetBusDevices({device_->DevicePath()});
  simctl::SetBusClassDevsFail(true);
  std::string path = "untouched";
  DWORD find = 0, query = 0;
  EXPECT_EQ(FindDevice(kDeviceInterfaceGuid, path, &find), INVALID_HANDLE_VALUE);
  EXPECT_EQ(path, "untouched");
  EXPECT_EQ(QueryBootVersion(&query).kind, VersionAnswer::Kind::Lost);
  // The cause is kept: the set's own failure.
  EXPECT_EQ(find, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(query, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

// The system's SetupAPI answers the detail query of every interface it listed.
TEST_F(SubstituteBus, InterfacesWhoseDetailQueryFailsAreSkipped) {
  // "!": only the query with a buffer fails; "!!": the size query fails too and
  // leaves the required size as the caller preset it.
  SetBusDevices({"!\\\\.\\pipe\\r47-detail-fails", "!!\\\\.\\pipe\\r47-detail-fails-twice", device_->DevicePath()});
  std::string path;
  UniqueHandle handle(FindDevice(kDeviceInterfaceGuid, path));
  EXPECT_TRUE(handle.valid());
  EXPECT_EQ(path, device_->DevicePath());
}

// The system's SetupAPI checks the record sizes but reports only a failure; the
// bus's log shows what the program passed.
TEST_F(SubstituteBus, RecordSizesAreThoseOfTheArchitectureBuilt) {
  SetBusDevices({device_->DevicePath()});
  testing_support::TempDir dir;
  std::string log = testing_support::Narrow(dir.File(L"bus.log"));
  simctl::SetBusLog(log);
  EXPECT_EQ(PresentDevicePaths(), std::vector<std::string>{device_->DevicePath()});
  simctl::SetBusLog("");
  std::string calls = simctl::ReadTextFile(log);
  // The 32-bit sizes (28 and 5) are refused in a 64-bit process, and the other way round.
  std::string interfaceSize = "cbSize=" + std::to_string(sizeof(SP_DEVICE_INTERFACE_DATA));
  std::string detailSize = "detailCbSize=" + std::to_string(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  EXPECT_NE(calls.find("SetupDiEnumDeviceInterfaces set#"), std::string::npos) << calls;
  EXPECT_NE(calls.find(interfaceSize), std::string::npos) << calls;
  EXPECT_NE(calls.find(detailSize + " "), std::string::npos) << calls;
  EXPECT_EQ(calls.find("err=87"), std::string::npos) << calls;
  EXPECT_EQ(calls.find("err=1784"), std::string::npos) << calls;
}

}  // namespace
