// Checks of the simulated handheld and the simulated bus with plain Win32
// calls, independent of the program's own device code: if these hold, a
// failing program test points at the program, not at the simulation.

#define _SETUPAPI_
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "sim_harness.h"

namespace {

using simctl::SimDevice;
using Bytes = std::vector<unsigned char>;

HANDLE Open(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  explicit Handle(HANDLE v) : h(v) {}
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  bool valid() const { return h != INVALID_HANDLE_VALUE; }
};

// One report, read the way the program reads it: its own open and close.
Bytes ReadReport(const SimDevice& dev, DWORD* got = nullptr) {
  Handle p(Open(dev.PipePath("PIPE00")));
  if (!p.valid()) return {};
  Bytes buf(128, 0xEE);
  DWORD n = 0;
  if (!ReadFile(p.h, buf.data(), 128, &n, nullptr)) return {};
  if (got) *got = n;
  buf.resize(n);
  return buf;
}

// Sends `data` over one data connection in write requests of `chunk` bytes;
// returns how many write requests succeeded.
size_t SendOverData(const SimDevice& dev, const Bytes& data, size_t chunk) {
  Handle p(Open(dev.PipePath("PIPE01")));
  if (!p.valid()) return 0;
  size_t ok = 0;
  for (size_t off = 0; off < data.size(); off += chunk) {
    DWORD len = static_cast<DWORD>(std::min(chunk, data.size() - off)), n = 0;
    if (!WriteFile(p.h, data.data() + off, len, &n, nullptr)) break;
    ++ok;
  }
  return ok;
}

Bytes MakeImage(size_t size) {
  Bytes b(size);
  const char header[] = "X000FF\n";
  for (size_t i = 0; i < size; ++i) b[i] = i < 7 ? header[i] : static_cast<unsigned char>((i * 131 + 7) >> 3);
  return b;
}

Bytes CommandBytes(unsigned char code) {
  Bytes b(32, 0x55);
  b[0] = code;
  return b;
}

// ------------------------------------------------------------------ status

struct VersionCase {
  const char* what;
  std::vector<std::string> args;
  std::vector<std::pair<unsigned char, unsigned char>> expect;  // per read: byte 4, word low/high as 16 bits
  std::vector<unsigned> words;
};

TEST(SimDevice, AnswersVersionQueriesAsConfigured) {
  const VersionCase cases[] = {
      {"default", {}, {{0x55, 0}}, {0x0105}},
      {"high low byte", {"--version", "0x0190"}, {{0x55, 0}}, {0x0190}},
      {"no version", {"--no-version"}, {{0, 0}}, {0}},
      {"sequence", {"--version-sequence", "none*2,bad:0x0107,0x0103"},
       {{0, 0}, {0, 0}, {0x54, 0}, {0x55, 0}, {0x55, 0}}, {0, 0, 0x0107, 0x0103, 0x0103}},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto dev = SimDevice::Start(c.args);
    ASSERT_TRUE(dev) << simctl::LastError();
    for (size_t i = 0; i < c.expect.size(); ++i) {
      SCOPED_TRACE("read " + std::to_string(i));
      DWORD got = 0;
      Bytes r = ReadReport(*dev, &got);
      ASSERT_EQ(got, 128u);
      EXPECT_EQ(r[4], c.expect[i].first);
      EXPECT_EQ(r[6] | (r[7] << 8), static_cast<int>(c.words[i]));
      Bytes rest(r.begin(), r.end());
      rest[4] = rest[6] = rest[7] = 0;
      EXPECT_EQ(rest, Bytes(128, 0)) << "other bytes must be zero";
    }
  }
}

TEST(SimDevice, StaysOpenableWhileClientsHoldConnections) {
  auto dev = SimDevice::Start();
  ASSERT_TRUE(dev) << simctl::LastError();
  for (const std::string& path : {dev->DevicePath(), dev->PipePath("PIPE00"), dev->PipePath("PIPE01")}) {
    SCOPED_TRACE(path);
    Handle a(Open(path));
    ASSERT_TRUE(a.valid()) << GetLastError();
    Handle b(Open(path));  // while the first is still open
    ASSERT_TRUE(b.valid()) << GetLastError();
  }
  // A handle opened for overlapped I/O works the same.
  HANDLE ov = CreateFileA(dev->DevicePath().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(ov, INVALID_HANDLE_VALUE);
  CloseHandle(ov);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ReadReport(*dev).size(), 128u) << "poll " << i;
}

// ------------------------------------------------------------------ data

TEST(SimDevice, RecordsImageWritesAndCommandPacket) {
  auto dev = SimDevice::Start();
  ASSERT_TRUE(dev) << simctl::LastError();
  const std::string gone = dev->DevicePath();

  // A connection that writes nothing is not an image.
  { Handle empty(Open(dev->PipePath("PIPE01"))); ASSERT_TRUE(empty.valid()); }
  const Bytes image = MakeImage(2 * 16384 + 1696);
  ASSERT_EQ(SendOverData(*dev, image, 16384), 3u);
  ASSERT_TRUE(dev->WaitForEvent("image complete"));
  EXPECT_EQ(dev->ReceivedStream(), image);
  EXPECT_EQ(dev->WriteSizes(), (std::vector<unsigned>{16384, 16384, 1696}));
  EXPECT_TRUE(dev->CommandPacket().empty());

  ASSERT_EQ(SendOverData(*dev, CommandBytes(0x64), 32), 1u);
  ASSERT_TRUE(dev->WaitForEvent("unplugged (restart)"));
  EXPECT_EQ(dev->CommandPacket(), CommandBytes(0x64));
  EXPECT_EQ(dev->ReceivedStream(), image) << "the command is not part of the image";

  // After the command the handheld restarts and leaves the bus.
  Handle h(Open(gone));
  EXPECT_FALSE(h.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(SimDevice, ComesBackAfterRestartWhenAsked) {
  auto dev = SimDevice::Start({"--replug-after-ms", "50", "--version", "0x0201"});
  ASSERT_TRUE(dev) << simctl::LastError();
  ASSERT_EQ(SendOverData(*dev, MakeImage(1000), 16384), 1u);
  ASSERT_EQ(SendOverData(*dev, CommandBytes(0x64), 32), 1u);
  ASSERT_TRUE(dev->WaitForEvent("unplugged (restart)"));
  const size_t mark = dev->Events().find("unplugged (restart)");
  ASSERT_TRUE(dev->WaitForEvent("plugged in", 10000, mark));
  Bytes r = ReadReport(*dev);
  ASSERT_EQ(r.size(), 128u);
  EXPECT_EQ(r[4], 0x55) << "back in the before-image state";
  EXPECT_EQ(r[6] | (r[7] << 8), 0x0201);
}

// Reads reports until one says "stored" or fails; bounded by `maxReads`.
std::vector<Bytes> PollUntilEnd(const SimDevice& dev, int maxReads) {
  std::vector<Bytes> seen;
  for (int i = 0; i < maxReads; ++i) {
    Bytes r = ReadReport(dev);
    if (r.size() != 128) break;
    seen.push_back(r);
    if ((r[0] == 0x40 && (r[3] == 100 || r[3] == 0x7F)) || (r[0] == 0x20 && r[2] == 0x7F && r[1] != 0x55)) break;
  }
  return seen;
}

std::string Trace(const std::vector<Bytes>& reports) {
  std::string s;
  for (const Bytes& r : reports) {
    char b[32];
    if (r[0] == 0x20)
      std::snprintf(b, sizeof b, r[1] == 0x55 ? "F+ " : "F%d ", r[2]);
    else if (r[0] == 0x40)
      std::snprintf(b, sizeof b, "W%d ", r[3]);
    else
      std::snprintf(b, sizeof b, "?%02X ", r[0]);
    s += b;
  }
  return s;
}

TEST(SimDevice, LargeImageIsFormattedThenWritten) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string expect;  // empty: only the shape is checked
  } cases[] = {
      {"one step per read", {"--pace-ms", "0", "--step", "25"},
       "F0 F25 F50 F75 F100 F+ W0 W25 W50 W75 W100 "},
      {"garbage kinds interleaved", {"--pace-ms", "0", "--step", "50", "--garbage-kinds"},
       "F0 ?30 F50 ?00 F100 ?30 F+ ?00 W0 ?30 W50 W100 "},
      {"format failure", {"--pace-ms", "0", "--step", "25", "--format-fail-at", "50"}, "F0 F25 F127 "},
      {"write failure", {"--pace-ms", "0", "--step", "50", "--write-fail-at", "60"}, "F0 F50 F100 F+ W0 W50 W127 "},
      {"paced by time", {"--pace-ms", "5", "--step", "10"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto dev = SimDevice::Start(c.args);
    ASSERT_TRUE(dev) << simctl::LastError();
    ASSERT_EQ(SendOverData(*dev, MakeImage(131073), 16384), 9u);
    ASSERT_TRUE(dev->WaitForEvent("formatting starts"));
    std::vector<Bytes> seen = PollUntilEnd(*dev, 2000);
    ASSERT_FALSE(seen.empty());
    const std::string trace = Trace(seen);
    if (!std::string(c.expect).empty()) {
      EXPECT_EQ(trace, c.expect);
    } else {
      // Progress never goes back, format comes before write, the end is stored.
      int last = -1;
      bool writing = false;
      for (const Bytes& r : seen) {
        if (r[0] == 0x40 && !writing) writing = true, last = -1;
        int p = r[0] == 0x40 ? r[3] : (r[1] == 0x55 ? 101 : r[2]);
        ASSERT_TRUE(r[0] == (writing ? 0x40 : 0x20)) << trace;
        ASSERT_GE(p, last) << trace;
        last = p;
      }
      EXPECT_EQ(seen.back()[0], 0x40);
      EXPECT_EQ(seen.back()[3], 100) << trace;
    }
  }
}

TEST(SimDevice, FailureReportsReadAsText) {
  struct Case {
    std::vector<std::string> args;
    unsigned char kind;
    size_t failByte;
    const char* text;
    bool zero;
  } cases[] = {
      {{"--format-fail-at", "0"}, 0x20, 2, "FORMAT ERROR", true},
      {{"--write-fail-at", "0", "--step", "100", "--pace-ms", "0"}, 0x40, 3, "WRITE ERROR", true},
      {{"--write-fail-at", "0", "--step", "100", "--pace-ms", "0", "--no-zero"}, 0x40, 3, "WRITE ERROR", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + std::string(c.zero ? "" : " no zero"));
    auto dev = SimDevice::Start(c.args);
    ASSERT_TRUE(dev) << simctl::LastError();
    ASSERT_EQ(SendOverData(*dev, MakeImage(200000), 16384), 13u);
    std::vector<Bytes> seen = PollUntilEnd(*dev, 20);
    ASSERT_FALSE(seen.empty());
    const Bytes& r = seen.back();
    EXPECT_EQ(r[0], c.kind);
    EXPECT_EQ(r[c.failByte], 0x7F);
    EXPECT_NE(r[1], 0x55);
    const std::string text(r.begin(), r.end());
    EXPECT_NE(text.find(c.text), std::string::npos) << text;
    EXPECT_EQ(text.find('\0') != std::string::npos, c.zero);
  }
}

// ------------------------------------------------------------------ faults

TEST(SimDevice, UnplugMakesOpenAndPendingWriteFail) {
  auto dev = SimDevice::Start({"--unplug-at", "transfer:20000"});
  ASSERT_TRUE(dev) << simctl::LastError();
  const Bytes image = MakeImage(300000);
  // The first write fits before the unplug point; the second is cut there.
  EXPECT_EQ(SendOverData(*dev, image, 16384), 1u);
  Handle h(Open(dev->DevicePath()));
  EXPECT_FALSE(h.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(dev->ReceivedStream(), Bytes(image.begin(), image.begin() + 20000));
  EXPECT_EQ(dev->WriteSizes(), std::vector<unsigned>{16384});
}

TEST(SimDevice, UnplugInsteadOfTakingTheCommand) {
  auto dev = SimDevice::Start({"--unplug-at", "command"});
  ASSERT_TRUE(dev) << simctl::LastError();
  ASSERT_EQ(SendOverData(*dev, MakeImage(5000), 16384), 1u);
  ASSERT_TRUE(dev->WaitForEvent("image complete"));
  EXPECT_EQ(SendOverData(*dev, CommandBytes(0x64), 32), 0u);
  EXPECT_TRUE(dev->CommandPacket().empty());
}

TEST(SimDevice, UnplugDuringFormatThenComeBack) {
  auto dev = SimDevice::Start({"--unplug-at", "format:40", "--pace-ms", "5", "--replug-after-ms", "100"});
  ASSERT_TRUE(dev) << simctl::LastError();
  ASSERT_EQ(SendOverData(*dev, MakeImage(140000), 16384), 9u);
  ASSERT_TRUE(dev->WaitForEvent("unplugged"));
  const std::string ev = dev->Events();
  ASSERT_TRUE(dev->WaitForEvent("plugged in", 10000, ev.find("unplugged")));
  Bytes r = ReadReport(*dev);
  ASSERT_EQ(r.size(), 128u);
  EXPECT_EQ(r[4], 0x55) << "back before the image: a version reply";
  // Paced by time, the unplug comes at the first step at or past 40 %.
  EXPECT_NE(ev.find("unplug: flashing reached format "), std::string::npos) << ev;
}

TEST(SimDevice, UnplugAfterReadsBreaksTheNextRead) {
  auto dev = SimDevice::Start({"--unplug-at", "after-reads:2"});
  ASSERT_TRUE(dev) << simctl::LastError();
  Handle held(Open(dev->PipePath("PIPE00")));
  ASSERT_TRUE(held.valid());
  Bytes buf(128);
  DWORD n;
  EXPECT_TRUE(ReadFile(held.h, buf.data(), 128, &n, nullptr));
  EXPECT_TRUE(ReadFile(held.h, buf.data(), 128, &n, nullptr));
  EXPECT_FALSE(ReadFile(held.h, buf.data(), 128, &n, nullptr));
  EXPECT_TRUE(ReadReport(*dev).empty());
}

// Back after its unplug, the device leaves again at the same point, unless asked to
// leave only once.
TEST(SimDevice, UnplugPointAgainAfterReplugUnlessOnce) {
  auto unplugs = [](const std::string& events) {
    size_t n = 0;
    for (size_t at = events.find("unplug: after"); at != std::string::npos; at = events.find("unplug: after", at + 1)) ++n;
    return n;
  };
  for (bool once : {false, true}) {
    SCOPED_TRACE(once ? "once" : "every time");
    std::vector<std::string> args = {"--unplug-at", "after-reads:1", "--replug-after-ms", "50"};
    if (once) args.push_back("--unplug-once");
    auto dev = SimDevice::Start(args);
    ASSERT_TRUE(dev) << simctl::LastError();
    EXPECT_EQ(ReadReport(*dev).size(), 128u);
    ASSERT_TRUE(dev->WaitForEvent("unplugged"));
    ASSERT_TRUE(dev->WaitForEvent("plugged in", 10000, dev->Events().find("unplugged")));
    EXPECT_EQ(ReadReport(*dev).size(), 128u);
    if (once) {
      EXPECT_EQ(ReadReport(*dev).size(), 128u) << dev->Events();
      EXPECT_EQ(unplugs(dev->Events()), 1u) << dev->Events();
    } else {
      EXPECT_TRUE(dev->WaitForEvent("unplug: after", 10000, dev->Events().find("plugged in") + 1));
      EXPECT_EQ(unplugs(dev->Events()), 2u) << dev->Events();
    }
  }
}

TEST(SimDevice, ShortAndZeroByteReports) {
  for (DWORD size : {0u, 5u}) {
    SCOPED_TRACE(size);
    auto dev = SimDevice::Start({"--short-report", std::to_string(size)});
    ASSERT_TRUE(dev) << simctl::LastError();
    Handle p(Open(dev->PipePath("PIPE00")));
    ASSERT_TRUE(p.valid());
    Bytes buf(128, 0xEE);
    DWORD n = 999;
    ASSERT_TRUE(ReadFile(p.h, buf.data(), 128, &n, nullptr)) << GetLastError();
    EXPECT_EQ(n, size);
    EXPECT_EQ(buf[size], 0xEE) << "bytes past the report stay untouched";
    if (size > 4) {
      EXPECT_EQ(buf[4], 0x55) << "the front of a version reply";
    }
  }
}

TEST(SimDevice, QuitsPromptlyEvenWhileHanging) {
  auto dev = SimDevice::Start({"--hang", "reads"});
  ASSERT_TRUE(dev) << simctl::LastError();
  Handle p(Open(dev->PipePath("PIPE00")));
  ASSERT_TRUE(p.valid());
  bool readOk = true;
  std::thread reader([&] {
    Bytes buf(128);
    DWORD n;
    readOk = ReadFile(p.h, buf.data(), 128, &n, nullptr);
  });
  ASSERT_TRUE(dev->WaitForEvent("hang"));
  dev->Stop();
  reader.join();
  EXPECT_FALSE(readOk) << "a stopped device breaks the pending read";
  EXPECT_FALSE(dev->Running());
}

// ------------------------------------------------------------------ bus

const GUID kClass = {0x8E120C45, 0x4968, 0x4188, {0xBA, 0x19, 0x9A, 0x82, 0x36, 0x1C, 0x8F, 0xA8}};

struct Bus {
  decltype(&SetupDiGetClassDevsA) getClassDevs = nullptr;
  decltype(&SetupDiEnumDeviceInterfaces) enumInterfaces = nullptr;
  decltype(&SetupDiGetDeviceInterfaceDetailA) detail = nullptr;
  decltype(&SetupDiDestroyDeviceInfoList) destroy = nullptr;
};

// Loaded as the program loads it: from system32, where the test setup puts
// the substitute.
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

class SimBus : public ::testing::Test {
 protected:
  void SetUp() override {
    bus = LoadBus();
    ASSERT_TRUE(bus.getClassDevs && bus.enumInterfaces && bus.detail && bus.destroy);
    simctl::SetBusClassDevsFail(false);
    simctl::SetBusDevices({"\\\\.\\pipe\\first", "!\\\\.\\pipe\\second", "\\\\.\\pipe\\third"});
    set = bus.getClassDevs(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA probe{};
    probe.cbSize = sizeof probe;
    ASSERT_TRUE(bus.enumInterfaces(set, nullptr, &kClass, 0, &probe))
        << "the bus substitute is not installed (setupapi.dll in system32, WINEDLLOVERRIDES=setupapi=n)";
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
  static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "x64 layout");
  const GUID other = {0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  struct Case {
    const char* what;
    DWORD cbSize;
    const GUID* guid;
    DWORD index;
    BOOL ok;
    DWORD error;
  } cases[] = {
      {"32-bit record size", 28, &kClass, 0, FALSE, ERROR_INVALID_PARAMETER},
      {"zero record size", 0, &kClass, 0, FALSE, ERROR_INVALID_PARAMETER},
      {"first", 32, &kClass, 0, TRUE, 0},
      {"last", 32, &kClass, 2, TRUE, 0},
      {"past the end", 32, &kClass, 3, FALSE, ERROR_NO_MORE_ITEMS},
      {"other class", 32, &other, 0, FALSE, ERROR_NO_MORE_ITEMS},
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
  static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "x64 layout");
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
      {"32-bit record size", 5, need, FALSE, ERROR_INVALID_USER_BUFFER},
      {"whole block as record size", need, need, FALSE, ERROR_INVALID_USER_BUFFER},
      {"one byte short", 8, need - 1, FALSE, ERROR_INSUFFICIENT_BUFFER},
      {"exact", 8, need, TRUE, 0},
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
  shortIface.cbSize = 28;
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
