// Finding the handheld and talking to it, against simulated handhelds registered
// as devices and found through the system's own SetupAPI.
#include <gtest/gtest.h>

#include "device/device_pin.h"
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
  EXPECT_TRUE(PresentDevicePaths().empty());
  DevicePin pin;
  std::string opened = "untouched";
  EXPECT_EQ(OpenDevicePipe(pin, kStatusPipe, &opened), INVALID_HANDLE_VALUE);
  EXPECT_EQ(opened, "untouched");
  EXPECT_EQ(Said(QueryBootVersion(nullptr, &pin)), "lost");
  EXPECT_FALSE(pin.Pinned());  // a query without an answer pins nothing
  EXPECT_FALSE(WriteCommandPacket(kCommandRestart, nullptr, &pin));
}

TEST_F(DeviceLink, FailuresKeepTheSystemErrorCode) {
  // The device answers one query, which pins it, and goes. Every opening then fails,
  // through the first present device as through the pinned one, which is looked for
  // under its own path alone.
  struct Case {
    const char* name;
    bool crash;  // else unplugged: no longer listed at all
    DWORD firstPresent, pinned;
  } cases[] = {
      {"NothingListed", false, ERROR_NO_MORE_ITEMS, ERROR_DEVICE_NOT_CONNECTED},
      {"ListedButGone", true, ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto device = StartDevice();
    ASSERT_TRUE(device);
    DevicePin pin;
    ASSERT_EQ(Said(QueryBootVersion(nullptr, &pin)), "0x0105");
    ASSERT_EQ(pin.Path(), device->DevicePath());
    if (c.crash) {
      device->Crash();  // still listed as present, but its path leads nowhere
    } else {
      device->Unplug();
      ASSERT_TRUE(device->WaitForEvent("unplugged (asked)"));
    }
    std::string path;
    DWORD find = 0;
    EXPECT_EQ(FindDevice(kDeviceInterfaceGuid, path, &find), INVALID_HANDLE_VALUE);
    EXPECT_EQ(find, c.firstPresent);
    DevicePin firstPresent;
    for (DevicePin* p : {&firstPresent, &pin}) {
      SCOPED_TRACE(p->Pinned() ? "pinned" : "first present");
      const DWORD expected = p->Pinned() ? c.pinned : c.firstPresent;
      DWORD open = 0, query = 0, packet = 0;
      EXPECT_EQ(OpenDevicePipe(*p, kStatusPipe, nullptr, &open), INVALID_HANDLE_VALUE);
      EXPECT_EQ(Said(QueryBootVersion(&query, p)), "lost");
      EXPECT_FALSE(WriteCommandPacket(kCommandRestart, &packet, p));
      EXPECT_EQ(open, expected);
      EXPECT_EQ(query, expected);
      EXPECT_EQ(packet, expected);
    }
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

TEST_F(DeviceLink, TheFirstDeviceThatOpensIsTakenUntilOneIsPinned) {
  // Devices enumerate in the order of their names, which is the order started. The
  // first one leaves before the next opening; when it had answered (and so was
  // pinned), the second one is never taken in its place.
  struct Case {
    const char* what;
    bool pinFirst;
    bool crashFirst;  // else the first one is unplugged
    DWORD pinnedError;
  } cases[] = {
      {"first listed but not openable", false, true, 0},
      {"first unplugged", false, false, 0},
      {"pinned first listed but not openable", true, true, ERROR_PATH_NOT_FOUND},
      {"pinned first unplugged", true, false, ERROR_DEVICE_NOT_CONNECTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto first = StartDevice({"--version", "0x0101"});
    auto second = StartDevice({"--version", "0x0202"});
    ASSERT_TRUE(first && second);
    DevicePin pin;
    if (c.pinFirst) ASSERT_EQ(Said(QueryBootVersion(nullptr, &pin)), "0x0101");
    if (c.crashFirst) {
      first->Crash();
    } else {
      first->Unplug();
      ASSERT_TRUE(first->WaitForEvent("unplugged (asked)"));
    }
    if (!c.pinFirst) {
      std::string path;
      UniqueHandle handle(FindDevice(kDeviceInterfaceGuid, path));
      EXPECT_TRUE(handle.valid());
      EXPECT_EQ(path, second->DevicePath());
      handle.reset();
      std::string opened;
      UniqueHandle status(OpenDevicePipe(pin, kStatusPipe, &opened));
      EXPECT_TRUE(status.valid());
      EXPECT_EQ(opened, second->DevicePath());
      status.reset();
      EXPECT_EQ(Said(QueryBootVersion(nullptr, &pin)), "0x0202");
      EXPECT_EQ(pin.Path(), second->DevicePath());
      continue;
    }
    DWORD open = 0, query = 0, packet = 0;
    std::string opened = "none";
    EXPECT_EQ(OpenDevicePipe(pin, kStatusPipe, &opened, &open), INVALID_HANDLE_VALUE);
    EXPECT_EQ(opened, "none");
    EXPECT_EQ(Said(QueryBootVersion(&query, &pin)), "lost");
    EXPECT_FALSE(WriteCommandPacket(kCommandRestart, &packet, &pin));
    EXPECT_EQ(open, c.pinnedError);
    EXPECT_EQ(query, c.pinnedError);
    EXPECT_EQ(packet, c.pinnedError);
    EXPECT_EQ(pin.Path(), first->DevicePath());
    // Seen from the second device: nothing of the pinned run reached it. One opening
    // of its own marks where its record stands (it logs each when it gets to it).
    UniqueHandle mark(OpenDevicePipe(DevicePin(), kStatusPipe));
    ASSERT_TRUE(mark.valid());
    mark.reset();
    ASSERT_TRUE(testing_support::PumpUntil(
        [&] {
          std::string e = second->Events();
          return CountOf(e, "interface: close") >= 1 && CountOf(e, "PIPE00: close") >= 1;
        },
        10000))
        << second->Events();
    const std::string events = second->Events();
    EXPECT_EQ(CountOf(events, "interface: open"), 1u) << events;
    EXPECT_EQ(CountOf(events, "PIPE00: open"), 1u) << events;
    EXPECT_EQ(CountOf(events, "PIPE01: open"), 0u) << events;
  }
}

TEST_F(DeviceLink, EachPipeOpensUnderTheDevicePath) {
  // Status, data and status again, first through the first present device, then
  // through the pin that the query set: each opening finds the device anew and opens
  // <device path>\PIPE00 or \PIPE01, which the device records as the pipe named.
  struct Case {
    const char* what;
    std::string nameTail;
    size_t pathLength;  // 0: whatever the name gives
  } cases[] = {
      {"an ordinary path", "", 0},
      // A device path of 250 characters: with "\\PIPE00" it no longer fits in 256
      // bytes, yet it stays below the 260 characters that CreateFileA accepts.
      // \\?\usb#vid_0e47&pid_0047#NAME#{guid}\NAME is 66 characters plus the name twice.
      {"a path of 250 characters",
       "-" + std::string(92 - std::string("r47sim-" + std::to_string(GetCurrentProcessId()) + "-000").size() - 1, 'x'),
       250},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto device = StartDevice({}, c.nameTail);
    ASSERT_TRUE(device);
    if (c.pathLength) ASSERT_EQ(device->DevicePath().size(), c.pathLength);
    DevicePin pin;
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(pin.Pinned() ? "pinned" : "first present");
      for (const char* pipe : {kStatusPipe, kDataPipe, kStatusPipe}) {
        std::string opened;
        UniqueHandle handle(OpenDevicePipe(pin, pipe, &opened));
        EXPECT_TRUE(handle.valid()) << pipe;
        EXPECT_EQ(opened, device->DevicePath()) << pipe;
      }
      EXPECT_EQ(Said(QueryBootVersion(nullptr, &pin)), "0x0105");
      EXPECT_EQ(pin.Path(), device->DevicePath());
    }
    // Three openings of each round went to the status pipe (the query's among them),
    // one to the data pipe.
    ASSERT_TRUE(testing_support::PumpUntil(
        [&] {
          std::string e = device->Events();
          return CountOf(e, "PIPE00: close") >= 6 && CountOf(e, "PIPE01: close") >= 2;
        },
        10000))
        << device->Events();
    const std::string events = device->Events();
    EXPECT_EQ(CountOf(events, "PIPE00: open"), 6u);
    EXPECT_EQ(CountOf(events, "PIPE01: open"), 2u);
  }
}

TEST_F(DeviceLink, EveryOpenIsClosedAgain) {
  auto device = StartDevice();
  ASSERT_TRUE(device);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(PresentDevicePaths(), std::vector<std::string>{device->DevicePath()});
  // The first query finds the device, the others look for the device it pinned.
  DevicePin pin;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Said(QueryBootVersion(nullptr, &pin)), "0x0105");
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
  UniqueHandle pipe(OpenDevicePipe(DevicePin(), kStatusPipe));
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
    DevicePin pin;
    EXPECT_EQ(Said(QueryBootVersion(nullptr, &pin)), "0x0103");
    ASSERT_EQ(pin.Path(), device->DevicePath());
    if (!c.deviceUnplugsItself) device->Unplug();
    ASSERT_TRUE(device->WaitForEvent("unplugged"));
    // Gone from the present devices: nothing is found, no pipe opens, and the pinned
    // device counts as missing.
    EXPECT_TRUE(PresentDevicePaths().empty());
    EXPECT_EQ(Said(QueryBootVersion(nullptr, &pin)), "lost");
    DWORD error = 0;
    EXPECT_EQ(OpenDevicePipe(pin, kDataPipe, nullptr, &error), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    // Back under the same path, found anew by the next open: the same device, still pinned.
    const size_t mark = device->Events().find("unplugged");
    device->Plug();
    ASSERT_TRUE(device->WaitForEvent("plugged in", 10000, mark));
    EXPECT_EQ(PresentDevicePaths(), std::vector<std::string>{device->DevicePath()});
    EXPECT_EQ(Said(QueryBootVersion(nullptr, &pin)), "0x0103");
    EXPECT_EQ(pin.Path(), device->DevicePath());
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
    // As a download does: the device that took the image is the one the packet goes to.
    DevicePin pin;
    {
      std::string opened;
      UniqueHandle data(OpenDevicePipe(pin, kDataPipe, &opened));
      ASSERT_EQ(WriteAll(data.get(), image.data(), static_cast<DWORD>(image.size()), kDataWriteTimeoutMs),
                IoStatus::Ok);
      pin.Pin(opened);
    }
    ASSERT_TRUE(device->WaitForEvent("image of 1000 bytes"));
    EXPECT_TRUE(WriteCommandPacket(c.code, nullptr, &pin));
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
    UniqueHandle data(OpenDevicePipe(DevicePin(), kDataPipe));
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
  UniqueHandle data(OpenDevicePipe(DevicePin(), kDataPipe));
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
