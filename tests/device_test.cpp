// Finding the handheld and talking to it, against simulated handhelds registered
// as devices and found through the system's own SetupAPI.
#include <gtest/gtest.h>

#include "device/discovery.h"
#include "device/messages.h"
#include "device/pipe_io.h"
#include "sim_harness.h"
#include "test_support.h"
#include "util/handle.h"

using simctl::SimDevice;
using testing_support::CountOf;

namespace {

// What one version query said, as text that a failing check prints plainly.
std::string Said(const VersionAnswer& a) {
  char buffer[32];
  switch (a.kind) {
    case VersionAnswer::Kind::Lost:
      return "lost";
    case VersionAnswer::Kind::Partial:
      return "partial " + std::to_string(a.bytes);
    case VersionAnswer::Kind::Busy:
      return "busy";
    case VersionAnswer::Kind::Version:
      break;
  }
  std::snprintf(buffer, sizeof buffer, "0x%04X", a.version);
  return buffer;
}

std::unique_ptr<SimDevice> StartDevice(const std::vector<std::string>& args = {}, const std::string& nameTail = "") {
  auto device = SimDevice::Start(args, nameTail);
  EXPECT_TRUE(device) << simctl::LastError();
  return device;
}

// Every case runs against the system's own SetupAPI, with simulated handhelds
// registered as devices of this Wine session (no other test shares the session).
class DeviceLink : public ::testing::Test {};

TEST_F(DeviceLink, NoDeviceGivesTheInvalidHandleAndNoVersion) {
  std::string path = "untouched";
  EXPECT_EQ(FindDevice(kDeviceInterfaceGuid, path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(path, "untouched");
  EXPECT_FALSE(IsDevicePresent(kDeviceInterfaceGuid, path));
  EXPECT_EQ(OpenPipe(kStatusPipe), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Said(QueryBootVersion()), "lost");
  EXPECT_FALSE(WriteCommandPacket(kCommandRestart));
}

TEST_F(DeviceLink, FailuresKeepTheSystemErrorCode) {
  struct Case {
    const char* name;
    bool crashedDevice;  // listed as present, but its path leads nowhere
    DWORD error;
  } cases[] = {
      {"NothingListed", false, ERROR_NO_MORE_ITEMS},
      {"ListedButGone", true, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<SimDevice> crashed;
    if (c.crashedDevice) {
      crashed = StartDevice();
      ASSERT_TRUE(crashed);
      crashed->Crash();
    }
    std::string path;
    DWORD find = 0, open = 0, query = 0, packet = 0;
    EXPECT_EQ(FindDevice(kDeviceInterfaceGuid, path, &find), INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPipe(kStatusPipe, &open), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Said(QueryBootVersion(&query)), "lost");
    EXPECT_FALSE(WriteCommandPacket(kCommandRestart, &packet));
    EXPECT_EQ(find, c.error);
    EXPECT_EQ(open, c.error);
    EXPECT_EQ(query, c.error);
    EXPECT_EQ(packet, c.error);
  }
}

TEST_F(DeviceLink, CrashedDeviceIsListedButSkipped) {
  auto crashed = StartDevice();
  ASSERT_TRUE(crashed);
  crashed->Crash();  // still listed as present, but its path leads nowhere
  std::string path;
  EXPECT_EQ(FindDevice(kDeviceInterfaceGuid, path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(path, crashed->DevicePath());  // examined, then skipped
  EXPECT_EQ(Said(QueryBootVersion()), "lost");
}

TEST_F(DeviceLink, TheFirstDeviceThatOpensIsTaken) {
  // Devices enumerate in the order of their names, which is the order started.
  struct Case {
    const char* what;
    bool crashFirst;  // else the first one is unplugged
  } cases[] = {{"first listed but not openable", true}, {"first unplugged", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto first = StartDevice({"--version", "0x0101"});
    auto second = StartDevice({"--version", "0x0202"});
    ASSERT_TRUE(first && second);
    if (c.crashFirst) {
      first->Crash();
    } else {
      first->Unplug();
      ASSERT_TRUE(first->WaitForEvent("unplugged (asked)"));
    }
    std::string path;
    UniqueHandle handle(FindDevice(kDeviceInterfaceGuid, path));
    EXPECT_TRUE(handle.valid());
    EXPECT_EQ(path, second->DevicePath());
    EXPECT_EQ(Said(QueryBootVersion()), "0x0202");
  }
}

TEST_F(DeviceLink, PipePathLongerThanAFixedBuffer) {
  // A device path of 250 characters: with "\\PIPE00" it no longer fits in 256
  // bytes, yet it stays below the 260 characters that CreateFileA accepts.
  // \\?\usb#vid_0e47&pid_0047#NAME#{guid}\NAME is 66 characters plus the name twice.
  const size_t base = std::string("r47sim-" + std::to_string(GetCurrentProcessId()) + "-000").size();
  auto device = StartDevice({}, "-" + std::string(92 - base - 1, 'x'));
  ASSERT_TRUE(device);
  ASSERT_EQ(device->DevicePath().size(), 250u);
  std::string path;
  EXPECT_TRUE(IsDevicePresent(kDeviceInterfaceGuid, path));
  EXPECT_EQ(path, device->DevicePath());
  for (const char* pipe : {kStatusPipe, kDataPipe}) {
    UniqueHandle handle(OpenPipe(pipe));
    EXPECT_TRUE(handle.valid()) << pipe;
    EXPECT_EQ(DevicePathBuffer(), device->DevicePath() + "\\" + pipe);
  }
  EXPECT_EQ(Said(QueryBootVersion()), "0x0105");
}

TEST_F(DeviceLink, EachPipeOpensUnderTheFreshDevicePath) {
  auto device = StartDevice();
  ASSERT_TRUE(device);
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
  std::string path;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(IsDevicePresent(kDeviceInterfaceGuid, path));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Said(QueryBootVersion()), "0x0105");
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

TEST_F(DeviceLink, VersionQueryJudgesWhatArrived) {
  // A whole report is an answer, a version reply or not; a read that brought no
  // report, or too few bytes to judge, is none. A format report: busy.
  struct Case {
    std::vector<std::string> options;
    const char* said;
  } cases[] = {
      {{"--version-sequence", "0x0105"}, "0x0105"},
      {{"--version-sequence", "0x0190"}, "0x0190"},
      {{"--version-sequence", "0"}, "0x0000"},
      {{"--version-sequence", "bad:0x0105"}, "0x0000"},  // byte 4 = 0x54: not a version reply
      {{"--version-sequence", "none"}, "0x0000"},
      {{"--version-sequence", "busy"}, "busy"},
      {{"--version-sequence", "close"}, "lost"},                          // the device closed the connection
      {{"--version-sequence", "0x0105", "--short-report", "0"}, "lost"},  // a read of no byte
      // Bytes that never arrived are not a version, whatever the buffer held.
      {{"--version-sequence", "0x0105", "--short-report", "5"}, "partial 5"},
      {{"--version-sequence", "0x0105", "--short-report", "7"}, "partial 7"},
      {{"--version-sequence", "0x0105", "--short-report", "8"}, "0x0105"},
  };
  for (const Case& c : cases) {
    auto device = StartDevice(c.options);
    ASSERT_TRUE(device);
    EXPECT_EQ(Said(QueryBootVersion()), c.said) << testing::PrintToString(c.options);
  }
}

TEST_F(DeviceLink, HungDeviceGivesNoAnswerAfterTheTimeOut) {
  auto device = StartDevice({"--version-sequence", "hang"});
  ASSERT_TRUE(device);
  DWORD error = 0;
  EXPECT_EQ(Said(QueryBootVersion(&error)), "lost");  // returns, bounded by the read time-out
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_TIMEOUT));
  // The device still works for the next caller once it answers again.
  UniqueHandle pipe(OpenPipe(kStatusPipe));
  EXPECT_TRUE(pipe.valid());
}

TEST_F(DeviceLink, UnplugAndReplugBetweenTwoOpens) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    bool deviceUnplugsItself;
  } cases[] = {
      {"the device leaves after a read", {"--version", "0x0103", "--unplug-at", "after-reads:1"}, true},
      {"the user pulls the plug", {"--version", "0x0103"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto device = StartDevice(c.args);
    ASSERT_TRUE(device);
    EXPECT_EQ(Said(QueryBootVersion()), "0x0103");
    if (!c.deviceUnplugsItself) device->Unplug();
    ASSERT_TRUE(device->WaitForEvent("unplugged"));
    // Gone from the present devices: nothing is found, no pipe opens.
    std::string path;
    EXPECT_FALSE(IsDevicePresent(kDeviceInterfaceGuid, path));
    EXPECT_EQ(Said(QueryBootVersion()), "lost");
    EXPECT_EQ(OpenPipe(kDataPipe), INVALID_HANDLE_VALUE);
    // Back under the same path, found anew by the next open.
    const size_t mark = device->Events().find("unplugged");
    device->Plug();
    ASSERT_TRUE(device->WaitForEvent("plugged in", 10000, mark));
    EXPECT_TRUE(IsDevicePresent(kDeviceInterfaceGuid, path));
    EXPECT_EQ(path, device->DevicePath());
    EXPECT_EQ(Said(QueryBootVersion()), "0x0103");
  }
}

TEST_F(DeviceLink, CommandPacketBytesOnTheWire) {
  struct Case {
    unsigned code;
    uint8_t first;
  } cases[] = {{100, 0x64}, {0x1FF, 0xFF}};
  for (const Case& c : cases) {
    auto device = StartDevice();
    ASSERT_TRUE(device);
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

}  // namespace
