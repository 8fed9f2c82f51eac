// What a whole update costs beyond the program's own pauses, measured against the
// simulated handheld's record: from the click on Update to the first bytes of the image
// on the device (ten version queries a second apart and 3 s before the download start
// are the pauses), and from the device's last report to the closing message (the
// pause there is the 1 s before the program says it is done). The device's times and
// this program's are both read from the system's tick count.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "clock.h"
#include "device/device_pin.h"
#include "device/discovery.h"
#include "device/messages.h"
#include "device/pipe_io.h"
#include "images/discovery.h"
#include "program_driver.h"
#include "sim_harness.h"
#include "test_support.h"

using namespace testing_support;

namespace {

constexpr int kRounds = 5;
constexpr double kPreflightPausesMs = 10 * 1000 + 3000;
constexpr double kClosingPauseMs = 1000;
constexpr int kAcknowledge = 1000;
constexpr int kUpdate = 1;

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "update_bench: %s\n", why.c_str());
  std::exit(2);
}

struct Event {
  double ms;  // on the system's tick count
  std::string text;
};

// The device's record with its times moved onto the system's tick count.
std::vector<Event> DeviceEvents(const simctl::SimDevice& device) {
  const std::string clock = simctl::ReadTextFile(device.RecordDir() + "\\clock.txt");
  if (clock.empty()) Fail("the simulated handheld wrote no clock.txt");
  const double start = std::strtod(clock.c_str(), nullptr);
  std::vector<Event> events;
  std::istringstream in(device.Events());
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    events.push_back({start + std::strtod(line.c_str(), nullptr), line.substr(space + 1)});
  }
  return events;
}

const Event* First(const std::vector<Event>& events, const std::string& text) {
  for (const Event& e : events)
    if (e.text.find(text) != std::string::npos) return &e;
  return nullptr;
}

const Event* Last(const std::vector<Event>& events, const std::string& text, const Event* before) {
  const Event* found = nullptr;
  for (const Event& e : events) {
    if (&e == before) break;
    if (e.text.find(text) != std::string::npos) found = &e;
  }
  return found;
}

struct BoxSearch {
  DWORD processId;
  HWND box;
};

BOOL CALLBACK FindBox(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<BoxSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == search->processId && IsWindowVisible(window) && IsMessageBox(window)) {
    search->box = window;
    return FALSE;
  }
  return TRUE;
}

struct Round {
  double preflight;    // click to the first image bytes on the device
  double firstQuery;   // click to the first version report taken (a 1 s pause)
  double queries;      // first to tenth version report taken (nine 1 s pauses)
  double toOpen;       // tenth version report to the data connection (the 3 s pause)
  double openToBytes;  // data connection to its first image bytes (the image read)
  double closing;      // last report taken to the closing message
  std::wstring caption;
};

Round MeasureOnce() {
  auto device = simctl::SimDevice::Start({"--version", "0x0103", "--pace-ms", "100", "--step", "20"});
  if (!device) Fail("the simulated handheld did not start: " + simctl::LastError());
  ProgramFolder folder(L"r47bench");
  folder.Write(kOsImageName, MakeImage("X000FF\n", 1u << 20));
  folder.Write(kBootImageName, MakeImage("B000FF\n", 64 * 1024));
  TempDir work(L"r47benchwork");
  work.Write(L"version.ver", VersionFileText(1, 3));
  std::wstring error;
  auto program = ProgramRun::Start(folder.Exe(), work.Path(), &error);
  if (!program) Fail("the program did not start: " + Narrow(error));
  if (!program->Click(kAcknowledge) || !ProgramRun::WaitUntil([&] { return program->Enabled(kUpdate); }, 15000)) {
    Fail("ticking the box did not enable Update");
  }
  program->Settle();

  const double clicked = static_cast<double>(GetTickCount64());
  if (!program->Click(kUpdate)) Fail("Update could not be pressed");
  BoxSearch search{program->ProcessId(), nullptr};
  const ULONGLONG deadline = GetTickCount64() + 120000;
  // Looked for every millisecond: the closing message's time is when it is first seen.
  while (!search.box && GetTickCount64() < deadline) {
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    if (!search.box) Sleep(1);
  }
  const double boxSeen = static_cast<double>(GetTickCount64());
  if (!search.box) Fail("no closing message within two minutes");
  Round r{};
  r.caption = WindowTextOf(search.box);
  PostMessageW(search.box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  if (!program->WaitForExit(15000)) Fail("the program did not end after its closing message");
  device->WaitForEvent("PIPE01: command packet");

  const std::vector<Event> events = DeviceEvents(*device);
  const Event* bytes = First(events, "PIPE01: first bytes of the image taken");
  const Event* command = First(events, "PIPE01: command packet");
  if (!bytes || !command) Fail("the device got no image or no closing command:\n" + device->Events());
  const Event* opened = Last(events, "PIPE01: open", bytes);
  const Event* firstQuery = First(events, "report taken: version reply");
  const Event* tenthQuery = Last(events, "report taken: version reply", opened);
  const Event* lastReport = Last(events, "PIPE00: report taken", command);
  if (!opened || !firstQuery || !tenthQuery || !lastReport) Fail("the device's record is incomplete");
  r.preflight = bytes->ms - clicked;
  r.firstQuery = firstQuery->ms - clicked;
  r.queries = tenthQuery->ms - firstQuery->ms;
  r.toOpen = opened->ms - tenthQuery->ms;
  r.openToBytes = bytes->ms - opened->ms;
  r.closing = boxSeen - lastReport->ms;
  return r;
}

std::string Range(const std::vector<double>& values) {
  const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
  char text[64];
  std::snprintf(text, sizeof text, "%.0f-%.0f", *lo, *hi);
  return text;
}

// The same device calls without the window, as a bare loop would make them: ten
// pauses and version queries, the pause before the download, the data channel opened
// and the first chunk written. What the program takes beyond this is its own.
double DeviceCallsAlone() {
  auto device = simctl::SimDevice::Start({"--version", "0x0103"});
  if (!device) Fail("the simulated handheld did not start: " + simctl::LastError());
  const double start = static_cast<double>(GetTickCount64());
  DevicePin pin;
  for (int i = 0; i < 10; ++i) {
    Sleep(1000);
    if (!QueryBootVersion(nullptr, &pin).IsAnswer()) Fail("a version query of the bare loop got no answer");
  }
  Sleep(3000);
  HANDLE data = OpenDevicePipe(pin, kDataPipe);
  if (data == INVALID_HANDLE_VALUE) Fail("the bare loop found no data channel");
  std::vector<uint8_t> chunk = MakeImage("X000FF\n", 16384);
  const IoResult written = WriteAll(data, chunk.data(), static_cast<DWORD>(chunk.size()), 15000);
  CloseHandle(data);
  if (written != IoStatus::Ok) Fail("the bare loop could not write its chunk");
  device->WaitForEvent("PIPE01: image of ");  // the record is written as the device gets to it
  const Event* bytes = First(DeviceEvents(*device), "PIPE01: first bytes of the image taken");
  if (!bytes) Fail("the device recorded no bytes of the bare loop");
  return bytes->ms - start;
}

// The smallest step of the tick count this machine shows.
double TickStep() {
  ULONGLONG step = ~0ull;
  for (int i = 0; i < 5; ++i) {
    const ULONGLONG a = GetTickCount64();
    ULONGLONG b;
    while ((b = GetTickCount64()) == a) {
    }
    step = std::min(step, b - a);
  }
  return static_cast<double>(step);
}

}  // namespace

int main() {
  std::vector<double> preflight, firstQuery, queries, toOpen, openToBytes, closing, alone, own;
  for (int i = 0; i < kRounds; ++i) {
    // Interleaved, so that a busy moment of the machine falls on both alike.
    const double bare = DeviceCallsAlone();
    const Round r = MeasureOnce();
    std::printf("round %d: the same device calls alone, start to first image byte %.0f ms\n", i + 1, bare);
    alone.push_back(bare - kPreflightPausesMs);
    own.push_back(r.preflight - bare);
    std::printf(
        "round %d: click to first image byte %.0f ms (first version query after %.0f, nine more in %.0f, download "
        "start %.0f later, image read %.0f); last report to closing message \"%s\" %.0f ms\n",
        i + 1, r.preflight, r.firstQuery, r.queries, r.toOpen, r.openToBytes, Narrow(r.caption).c_str(), r.closing);
    std::fflush(stdout);
    preflight.push_back(r.preflight - kPreflightPausesMs);
    firstQuery.push_back(r.firstQuery);
    queries.push_back(r.queries);
    toOpen.push_back(r.toOpen);
    openToBytes.push_back(r.openToBytes);
    closing.push_back(r.closing);
  }
  std::vector<double> closingOverhead;
  for (double c : closing) closingOverhead.push_back(c - kClosingPauseMs);
  std::printf(
      "pre-flight, click on Update to the first image byte on the device: overhead over its 13 s of pauses "
      "median %.0f ms (%s; target under 300 ms); the same device calls alone %.0f ms (%s), the program's own "
      "share %.0f ms (%s)\n",
      Median(preflight), Range(preflight).c_str(), Median(alone), Range(alone).c_str(), Median(own),
      Range(own).c_str());
  std::printf(
      "last report to the closing message: median %.0f ms (%s; target under 1200 ms), of which %.0f ms over "
      "the 1 s pause (%s)\n",
      Median(closing), Range(closing).c_str(), Median(closingOverhead), Range(closingOverhead).c_str());
  std::printf("(medians of %d runs; times from the tick count, which moves in steps of %.0f ms here)\n", kRounds,
              TickStep());
  return 0;
}
