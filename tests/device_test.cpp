// Finding the handheld and talking to it, against the simulated handheld and bus.
#include <gtest/gtest.h>

#include "device/discovery.h"
#include "device/messages.h"
#include "device/pipe_io.h"
#include "sim_harness.h"
#include "test_support.h"
#include "util/handle.h"

using simctl::SetBusDevices;
using simctl::SimDevice;
using testing_support::CountOf;

namespace {

using Answer = std::optional<uint16_t>;

std::unique_ptr<SimDevice> StartDevice(const std::vector<std::string>& args = {}) {
  auto device = SimDevice::Start(args);
  EXPECT_TRUE(device) << simctl::LastError();
  return device;
}

class DeviceLink : public ::testing::Test {
 protected:
  void TearDown() override {
    SetBusDevices({});
    simctl::SetBusClassDevsFail(false);
  }
};

TEST_F(DeviceLink, NoDeviceGivesTheInvalidHandleAndNoVersion) {
  SetBusDevices({});
  std::string path = "untouched";
  EXPECT_EQ(FindDevice(kDeviceInterfaceGuid, path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(path, "untouched");
  EXPECT_EQ(IsDevicePresent(kDeviceInterfaceGuid, path), 0);
  EXPECT_EQ(OpenPipe(kStatusPipe), INVALID_HANDLE_VALUE);
  EXPECT_EQ(QueryBootVersion(), std::nullopt);
  EXPECT_FALSE(WriteCommandPacket(kCommandRestart));
}

TEST_F(DeviceLink, FailuresKeepTheSystemErrorCode) {
  struct Case {
    const char* name;
    std::vector<std::string> bus;
    bool classDevsFail;
    DWORD error;
  } cases[] = {
      {"NothingListed", {}, false, ERROR_NO_MORE_ITEMS},
      {"ListedButGone", {"\\\\.\\pipe\\r47-nobody-listens-here"}, false, ERROR_FILE_NOT_FOUND},
      {"NoDeviceSet", {"\\\\.\\pipe\\r47-nobody-listens-here"}, true, ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetBusDevices(c.bus);
    simctl::SetBusClassDevsFail(c.classDevsFail);
    std::string path;
    DWORD find = 0, open = 0, query = 0, packet = 0;
    EXPECT_EQ(FindDevice(kDeviceInterfaceGuid, path, &find), INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPipe(kStatusPipe, &open), INVALID_HANDLE_VALUE);
    EXPECT_EQ(QueryBootVersion(&query), std::nullopt);
    EXPECT_FALSE(WriteCommandPacket(kCommandRestart, &packet));
    EXPECT_EQ(find, c.error);
    EXPECT_EQ(open, c.error);
    EXPECT_EQ(query, c.error);
    EXPECT_EQ(packet, c.error);
  }
}

TEST_F(DeviceLink, ListedButUnpluggedDeviceIsNotFound) {
  SetBusDevices({"\\\\.\\pipe\\r47-nobody-listens-here"});
  std::string path;
  EXPECT_EQ(FindDevice(kDeviceInterfaceGuid, path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(path, "\\\\.\\pipe\\r47-nobody-listens-here");  // examined, then skipped
}

TEST_F(DeviceLink, FailingDeviceSetEndsTheSearchAtOnce) {
  simctl::SetBusClassDevsFail(true);
  std::string path;
  EXPECT_EQ(FindDevice(kDeviceInterfaceGuid, path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(QueryBootVersion(), std::nullopt);
}

TEST_F(DeviceLink, InterfacesThatCannotBeOpenedOrReadAreSkipped) {
  auto device = StartDevice();
  ASSERT_TRUE(device);
  SetBusDevices({"\\\\.\\pipe\\r47-nobody-listens-here", "!\\\\.\\pipe\\r47-detail-fails",
                 "!!\\\\.\\pipe\\r47-detail-fails-twice", device->DevicePath()});
  std::string path;
  UniqueHandle handle(FindDevice(kDeviceInterfaceGuid, path));
  EXPECT_TRUE(handle.valid());
  EXPECT_EQ(path, device->DevicePath());
}

TEST_F(DeviceLink, RecordSizesAreThoseOfTheArchitectureBuilt) {
  auto device = StartDevice();
  ASSERT_TRUE(device);
  SetBusDevices({device->DevicePath()});
  testing_support::TempDir dir;
  std::string log = testing_support::Narrow(dir.File(L"bus.log"));
  simctl::SetBusLog(log);
  std::string path;
  EXPECT_EQ(IsDevicePresent(kDeviceInterfaceGuid, path), 1);
  simctl::SetBusLog("");
  std::string calls = simctl::ReadTextFile(log);
  // The real SetupAPI refuses the 32-bit sizes (28 and 5) in a 64-bit process.
  std::string interfaceSize = "cbSize=" + std::to_string(sizeof(SP_DEVICE_INTERFACE_DATA));
  std::string detailSize = "detailCbSize=" + std::to_string(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  EXPECT_NE(calls.find("SetupDiEnumDeviceInterfaces set#"), std::string::npos) << calls;
  EXPECT_NE(calls.find(interfaceSize), std::string::npos) << calls;
  EXPECT_NE(calls.find(detailSize + " "), std::string::npos) << calls;
  EXPECT_EQ(calls.find("err=87"), std::string::npos) << calls;
  EXPECT_EQ(calls.find("err=1784"), std::string::npos) << calls;
}

TEST_F(DeviceLink, EachPipeOpensUnderTheFreshDevicePath) {
  auto device = StartDevice();
  ASSERT_TRUE(device);
  SetBusDevices({device->DevicePath()});
  for (const char* pipe : {kStatusPipe, kDataPipe, kStatusPipe}) {
    UniqueHandle handle(OpenPipe(pipe));
    EXPECT_TRUE(handle.valid()) << pipe;
    // Never both suffixes: the path is found anew before each open.
    EXPECT_EQ(DevicePathBuffer(), device->DevicePath() + "\\" + pipe);
  }
}


TEST_F(DeviceLink, EveryOpenIsClosedAgain) {
  auto device = StartDevice();
  ASSERT_TRUE(device);
  SetBusDevices({device->DevicePath()});
  std::string path;
  for (int i = 0; i < 5; ++i) ASSERT_EQ(IsDevicePresent(kDeviceInterfaceGuid, path), 1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(QueryBootVersion(), Answer(0x0105));
  // Seen from the device: every connection the PC opened, the PC closed.
  // The device logs each connection when its listener gets to it: wait for all of
  // them (a leaked handle would never be seen closed).
  ASSERT_TRUE(testing_support::PumpUntil(
      [&] {
        std::string e = device->Events();
        return CountOf(e, "PIPE00: close") >= 3 && CountOf(e, "interface: close") >= 8;
      },
      10000))
      << device->Events();
  std::string events = device->Events();
  EXPECT_EQ(CountOf(events, "interface: open"), 8u);
  EXPECT_EQ(CountOf(events, "interface: close"), 8u);
  EXPECT_EQ(CountOf(events, "PIPE00: open"), 3u);
  EXPECT_EQ(CountOf(events, "PIPE00: close"), 3u);
}

TEST_F(DeviceLink, VersionQueryReadsTheVersionReply) {
  // A report is an answer, a version reply or not; a read that brought no report is none.
  struct Case {
    std::vector<std::string> options;
    Answer answer;
  } cases[] = {
      {{"--version-sequence", "0x0105"}, 0x0105},
      {{"--version-sequence", "0x0190"}, 0x0190},
      {{"--version-sequence", "0"}, 0},
      {{"--version-sequence", "bad:0x0105"}, 0},  // byte 4 = 0x54: not a version reply
      {{"--version-sequence", "none"}, 0},
      {{"--version-sequence", "close"}, std::nullopt},  // the device closed the connection
      {{"--version-sequence", "0x0105", "--short-report", "0"}, std::nullopt},  // a read of no byte
  };
  for (const Case& c : cases) {
    auto device = StartDevice(c.options);
    ASSERT_TRUE(device);
    SetBusDevices({device->DevicePath()});
    EXPECT_EQ(QueryBootVersion(), c.answer) << testing::PrintToString(c.options);
  }
}

TEST_F(DeviceLink, ShortReportKeepsZerosBeyondWhatArrived) {
  // Only 5 bytes arrive: byte 4 is the version mark, bytes 6 and 7 stay zero.
  auto device = StartDevice({"--version-sequence", "0x0105", "--short-report", "5"});
  ASSERT_TRUE(device);
  SetBusDevices({device->DevicePath()});
  EXPECT_EQ(QueryBootVersion(), Answer(0));
}

TEST_F(DeviceLink, HungDeviceGivesNoAnswerAfterTheTimeOut) {
  auto device = StartDevice({"--version-sequence", "hang"});
  ASSERT_TRUE(device);
  SetBusDevices({device->DevicePath()});
  DWORD error = 0;
  EXPECT_EQ(QueryBootVersion(&error), std::nullopt);  // returns, bounded by the read time-out
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_TIMEOUT));
  // The device still works for the next caller once it answers again.
  UniqueHandle pipe(OpenPipe(kStatusPipe));
  EXPECT_TRUE(pipe.valid());
}

TEST_F(DeviceLink, UnplugBetweenTwoOpens) {
  auto device = StartDevice({"--version-sequence", "0x0103", "--unplug-at", "after-reads:1"});
  ASSERT_TRUE(device);
  SetBusDevices({device->DevicePath()});
  EXPECT_EQ(QueryBootVersion(), Answer(0x0103));
  ASSERT_TRUE(device->WaitForEvent("unplug: after 1 reads"));
  // The device needs a moment to leave the bus after it decided to.
  std::string path;
  ASSERT_TRUE(testing_support::PumpUntil([&] { return !IsDevicePresent(kDeviceInterfaceGuid, path); }, 5000));
  EXPECT_EQ(QueryBootVersion(), std::nullopt);
  EXPECT_EQ(OpenPipe(kDataPipe), INVALID_HANDLE_VALUE);
}

TEST_F(DeviceLink, CommandPacketBytesOnTheWire) {
  struct Case {
    unsigned code;
    uint8_t first;
  } cases[] = {{100, 0x64}, {0x1FF, 0xFF}};
  for (const Case& c : cases) {
    auto device = StartDevice();
    ASSERT_TRUE(device);
    SetBusDevices({device->DevicePath()});
    // The device takes a packet only after an image.
    std::vector<uint8_t> image = testing_support::MakeImage("B000FF\n", 1000);
    {
      UniqueHandle data(OpenPipe(kDataPipe));
      ASSERT_EQ(WriteAll(data.get(), image.data(), static_cast<DWORD>(image.size()), kDataWriteTimeoutMs),
                IoStatus::Ok);
    }
    ASSERT_TRUE(device->WaitForEvent("image of 1000 bytes"));
    EXPECT_TRUE(WriteCommandPacket(c.code));
    ASSERT_TRUE(device->WaitForEvent("command packet"));
    std::vector<unsigned char> expected(32, 0x55);
    expected[0] = c.first;
    EXPECT_EQ(device->CommandPacket(), expected) << c.code;
  }
}

TEST_F(DeviceLink, WritesReachTheDeviceUnchangedInTheirSizes) {
  auto device = StartDevice();
  ASSERT_TRUE(device);
  SetBusDevices({device->DevicePath()});
  std::vector<uint8_t> image = testing_support::MakeImage("X000FF\n", 40000);
  {
    UniqueHandle data(OpenPipe(kDataPipe));
    for (size_t offset = 0; offset < image.size(); offset += 16384) {
      DWORD n = static_cast<DWORD>(std::min<size_t>(16384, image.size() - offset));
      ASSERT_EQ(WriteAll(data.get(), image.data() + offset, n, kDataWriteTimeoutMs), IoStatus::Ok);
    }
  }
  ASSERT_TRUE(device->WaitForEvent("image of 40000 bytes"));
  EXPECT_EQ(device->ReceivedStream(), std::vector<unsigned char>(image.begin(), image.end()));
  EXPECT_EQ(device->WriteSizes(), (std::vector<unsigned>{16384, 16384, 7232}));
}

TEST_F(DeviceLink, UnplugMakesTheNextWriteFail) {
  auto device = StartDevice({"--unplug-at", "transfer:20000"});
  ASSERT_TRUE(device);
  SetBusDevices({device->DevicePath()});
  std::vector<uint8_t> image = testing_support::MakeImage("X000FF\n", 16384 * 4);
  UniqueHandle data(OpenPipe(kDataPipe));
  IoResult last;
  size_t offset = 0;
  for (; offset < image.size() && last == IoStatus::Ok; offset += 16384) {
    last = WriteAll(data.get(), image.data() + offset, 16384, kDataWriteTimeoutMs);
  }
  EXPECT_EQ(last.status, IoStatus::Failed);
  EXPECT_EQ(last.error, static_cast<DWORD>(ERROR_BROKEN_PIPE));  // the cause travels with the failure
  EXPECT_LE(offset, 16384u * 3);
}

TEST_F(DeviceLink, DevicePathOfAnyLength) {
  std::string longPath = "\\\\.\\pipe\\" + std::string(600, 'x');
  SetBusDevices({longPath});
  std::string path;
  EXPECT_EQ(FindDevice(kDeviceInterfaceGuid, path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(path, longPath);  // read whole, nothing cut or overrun
  EXPECT_EQ(OpenPipe(kStatusPipe), INVALID_HANDLE_VALUE);
}

}  // namespace
