// Checks of the simulated handheld and the simulated bus with plain Win32
// calls, independent of the program's own device code: if these hold, a
// failing program test points at the program, not at the simulation.

#include <windows.h>
#include <gtest/gtest.h>
#include <setupapi.h>

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
      {"sequence",
       {"--version-sequence", "none*2,bad:0x0107,0x0103"},
       {{0, 0}, {0, 0}, {0x54, 0}, {0x55, 0}, {0x55, 0}},
       {0, 0, 0x0107, 0x0103, 0x0103}},
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
  {
    Handle empty(Open(dev->PipePath("PIPE01")));
    ASSERT_TRUE(empty.valid());
  }
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

  // After the command the handheld restarts and leaves the bus: its path leads
  // nowhere, its pipes are gone.
  Handle h(Open(gone));
  EXPECT_FALSE(h.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  Handle p(Open(dev->PipeName()));
  EXPECT_FALSE(p.valid());
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
      {"one step per read", {"--pace-ms", "0", "--step", "25"}, "F0 F25 F50 F75 F100 F+ W0 W25 W50 W75 W100 "},
      {"garbage kinds interleaved",
       {"--pace-ms", "0", "--step", "50", "--garbage-kinds"},
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
  // The pipes are gone at once; the path (left a moment later) leads nowhere.
  Handle p(Open(dev->PipeName()));
  EXPECT_FALSE(p.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  Handle h(Open(dev->DevicePath()));
  EXPECT_FALSE(h.valid());
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
    for (size_t at = events.find("unplug: after"); at != std::string::npos; at = events.find("unplug: after", at + 1))
      ++n;
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
      EXPECT_TRUE(dev->WaitForEvent("unplug: after", 10000, dev->Events().find("unplugged")));
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

// ------------------------------------------------------------------ registration

const GUID kClass = {0x8E120C45, 0x4968, 0x4188, {0xBA, 0x19, 0x9A, 0x82, 0x36, 0x1C, 0x8F, 0xA8}};

struct Listed {
  std::string path;
  DWORD flags;
};

// The interfaces of the r47 class as the system's SetupAPI lists them.
std::vector<Listed> Interfaces(bool presentOnly) {
  std::vector<Listed> all;
  HDEVINFO set =
      SetupDiGetClassDevsA(&kClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE | (presentOnly ? DIGCF_PRESENT : 0));
  if (set == INVALID_HANDLE_VALUE) return all;
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, i, &iface); ++i) {
    DWORD need = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &need, nullptr);
    std::vector<char> block(need + 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
    detail->cbSize = sizeof *detail;
    if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, need, nullptr, nullptr))
      all.push_back({detail->DevicePath, iface.Flags});
  }
  SetupDiDestroyDeviceInfoList(set);
  return all;
}

// The flags of `path` among the listed interfaces; -1 when it is not listed.
long long FlagsOf(const std::vector<Listed>& listed, const std::string& path) {
  for (const Listed& l : listed)
    if (l.path == path) return l.flags;
  return -1;
}

TEST(SimRegistration, ListedAsPresentOnlyWhilePluggedIn) {
  auto dev = SimDevice::Start({"--version", "0x0123"});
  ASSERT_TRUE(dev) << simctl::LastError();
  const std::string path = dev->DevicePath();
  ASSERT_EQ(path.compare(0, 4, "\\\\?\\"), 0) << path;
  EXPECT_EQ(FlagsOf(Interfaces(true), path), SPINT_ACTIVE);
  Bytes r = ReadReport(*dev);
  ASSERT_EQ(r.size(), 128u);
  EXPECT_EQ(r[6] | (r[7] << 8), 0x0123);

  dev->Unplug();
  ASSERT_TRUE(dev->WaitForEvent("unplugged (asked)"));
  EXPECT_EQ(FlagsOf(Interfaces(true), path), -1) << "not among the present ones";
  EXPECT_EQ(FlagsOf(Interfaces(false), path), 0) << "still registered, not active";
  Handle gone(Open(path));
  EXPECT_FALSE(gone.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  const size_t mark = dev->Events().find("unplugged (asked)");
  dev->Plug();
  ASSERT_TRUE(dev->WaitForEvent("plugged in", 10000, mark));
  EXPECT_EQ(FlagsOf(Interfaces(true), path), SPINT_ACTIVE) << "back under the same path";
  EXPECT_EQ(ReadReport(*dev).size(), 128u);

  dev->Stop();
  EXPECT_EQ(FlagsOf(Interfaces(false), path), -1) << "removed when it ends";
}

TEST(SimRegistration, SeveralDevicesAtOnce) {
  auto a = SimDevice::Start({"--version", "0x0101"});
  auto b = SimDevice::Start({"--version", "0x0202"});
  ASSERT_TRUE(a && b) << simctl::LastError();
  EXPECT_NE(a->DevicePath(), b->DevicePath());
  std::vector<Listed> present = Interfaces(true);
  EXPECT_EQ(FlagsOf(present, a->DevicePath()), SPINT_ACTIVE);
  EXPECT_EQ(FlagsOf(present, b->DevicePath()), SPINT_ACTIVE);
  for (const auto* dev : {a.get(), b.get()}) {
    Bytes r = ReadReport(*dev);
    ASSERT_EQ(r.size(), 128u);
    EXPECT_EQ(r[6] | (r[7] << 8), dev == a.get() ? 0x0101 : 0x0202);
  }
}

TEST(SimRegistration, CrashLeavesAListedDeviceThatTheNextStartRemoves) {
  auto crashed = SimDevice::Start();
  ASSERT_TRUE(crashed) << simctl::LastError();
  const std::string path = crashed->DevicePath();
  crashed->Crash();
  // Listed as present, as a killed driver would leave it, but not openable.
  EXPECT_EQ(FlagsOf(Interfaces(true), path), SPINT_ACTIVE);
  Handle h(Open(path));
  EXPECT_FALSE(h.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  auto next = SimDevice::Start();
  ASSERT_TRUE(next) << simctl::LastError();
  std::vector<Listed> all = Interfaces(false);
  EXPECT_EQ(FlagsOf(all, path), -1) << "the orphan is removed";
  EXPECT_EQ(FlagsOf(all, next->DevicePath()), SPINT_ACTIVE);
}

TEST(SimRegistration, RefusesANameThatIsInUse) {
  auto first = SimDevice::Start();
  ASSERT_TRUE(first) << simctl::LastError();
  // Started by hand under the same name: it must leave the first one alone.
  std::string cmd = "\"" + simctl::ExeDir() + "r47sim.exe\" --name " + first->Name() + " --lifetime-ms 5000";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi));
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(FlagsOf(Interfaces(true), first->DevicePath()), SPINT_ACTIVE);
  EXPECT_EQ(ReadReport(*first).size(), 128u);
}

}  // namespace
