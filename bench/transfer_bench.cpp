// Streams one large image through the real download worker to the simulated handheld,
// and the same bytes in 16 KiB requests through a bare loop, and compares the two.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "app/controls.h"
#include "app/download_view.h"
#include "app/flash_log.h"
#include "app/logged_events.h"
#include "clock.h"
#include "device/device_pin.h"
#include "device/discovery.h"
#include "device/pipe_io.h"
#include "flash/download.h"
#include "images/discovery.h"
#include "res/resource.h"
#include "sim_harness.h"
#include "test_support.h"
#include "util/handle.h"

using namespace testing_support;

namespace {

constexpr uint32_t kImageSize = 32u << 20;
constexpr int kRounds = 9;

std::unique_ptr<simctl::SimDevice> StartDevice() {
  // Slow flashing stages: only the transfer is measured.
  auto device = simctl::SimDevice::Start({"--pace-ms", "60000"});
  if (!device) {
    std::fprintf(stderr, "simulated handheld did not start: %s\n", simctl::LastError().c_str());
    std::exit(2);
  }
  return device;
}

size_t WorkingSet() {
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof(pmc);
  GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
  return pmc.WorkingSetSize;
}

// Waits for the device to have the whole image, sampling this process's memory
// meanwhile. The looking is done by a thread of its own, so that this thread only
// serves the window, as the program's main thread does while a download runs.
bool WaitForImage(const simctl::SimDevice& device, size_t* peak = nullptr) {
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<bool> stop{false};
  std::thread watcher([&] {
    while (!stop) {
      if (peak) *peak = std::max(*peak, WorkingSet());
      if (device.Events().find("PIPE01: image of") != std::string::npos) {
        SetEvent(done.get());
        return;
      }
      Sleep(2);
    }
  });
  bool ok = PumpUntil([&] { return WaitForSingleObject(done.get(), 0) == WAIT_OBJECT_0; }, 120000);
  stop = true;
  watcher.join();
  return ok;
}

// With `logged`, the download reports through the flash log as the program's does,
// with the log writing to a file; without, straight to the window.
double WorkerRun(const TempDir& dir, size_t* peakBytes, bool logged) {
  auto device = StartDevice();
  BoxWatcher boxes;
  TestWindow window(dir.Path());
  SendMessageW(window.Item(IDC_IMAGE_LIST), CB_SELECTSTRING, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>(kOsImageName));
  if (logged && !OpenFlashLog(dir.Path() + L"logs")) {
    std::fprintf(stderr, "the log did not open\n");
    std::exit(2);
  }
  size_t baseline = WorkingSet(), peak = baseline;
  auto events = logged ? LoggedEvents(WindowEvents(window.hwnd())) : WindowEvents(window.hwnd());
  VerifiedImage image;
  DevicePin pin;
  SetPhase(window.state(), Phase::Connecting);
  StartResult started = ReadVerifiedImage(dir.Path(), kOsImageName, events, nullptr, &image)
                            ? StartDownload(image, events, pin)
                            : StartResult::Refused;
  if (started == StartResult::Started) SetPhase(window.state(), Phase::Transfer);
  if (started != StartResult::Started) {
    std::fprintf(stderr, "download did not start\n");
    std::exit(2);
  }
  LARGE_INTEGER t0 = Now();
  bool ok = WaitForImage(*device, &peak);
  LARGE_INTEGER t1 = Now();
  // What the download added to the program while it ran (the image file is read
  // before StartDownload returns, so its buffer is counted).
  *peakBytes = peak - baseline;
  // Unplugging ends the monitor (it reports the broken link and ends the run).
  device->Stop();
  PumpUntilQuit(30000);
  if (logged) CloseFlashLog();
  if (!ok || device->ReceivedStream().size() != kImageSize) {
    std::fprintf(stderr, "worker: the device did not receive the whole image\n");
    std::exit(2);
  }
  return Seconds(t0, t1);
}

// Times a loop that writes the image in 16 KiB requests through `write` until the
// device has all of it.
double LoopRun(const std::vector<uint8_t>& image, const char* name,
               const std::function<bool(const simctl::SimDevice&, const uint8_t*, DWORD)>& write) {
  auto device = StartDevice();
  LARGE_INTEGER t0 = Now();
  for (size_t offset = 0; offset < image.size(); offset += 16384) {
    if (!write(*device, image.data() + offset, 16384)) {
      std::fprintf(stderr, "%s: write failed\n", name);
      std::exit(2);
    }
  }
  write(*device, nullptr, 0);  // closes the connection: the image ends
  bool ok = WaitForImage(*device);
  LARGE_INTEGER t1 = Now();
  if (!ok) std::exit(2);
  return Seconds(t0, t1);
}

// The plainest client: a synchronous handle and one WriteFile per request.
double BareRun(const std::vector<uint8_t>& image) {
  UniqueHandle pipe;
  return LoopRun(image, "bare loop", [&](const simctl::SimDevice& device, const uint8_t* data, DWORD size) {
    if (!data) return pipe.reset(), true;
    if (!pipe.valid())
      pipe.reset(CreateFileA(device.PipePath("PIPE01").c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD written = 0;
    return WriteFile(pipe.get(), data, size, &written, nullptr) != FALSE;
  });
}

// The worker's own write path (bounded, overlapped) in a loop of its own: tells the
// cost of bounding each write apart from the cost of the worker around it.
double BoundedRun(const std::vector<uint8_t>& image) {
  UniqueHandle pipe, event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  return LoopRun(image, "bounded loop", [&](const simctl::SimDevice&, const uint8_t* data, DWORD size) {
    if (!data) return pipe.reset(), true;
    if (!pipe.valid()) pipe.reset(OpenDevicePipe(DevicePin(), kDataPipe));
    return WriteAll(pipe.get(), data, size, kDataWriteTimeoutMs, event.get()) == IoStatus::Ok;
  });
}

}  // namespace

int main() {
  TempDir dir(L"r47bench");
  dir.Write(kOsImageName, MakeImage("X000FF\n", kImageSize));
  dir.Write(kBootImageName, MakeImage("B000FF\n", 64));

  // Rounds interleave the three ways, so that a change in the machine's pace meets
  // all of them alike. The memory figure is what the download adds over the
  // program's size just before it starts.
  std::vector<uint8_t> image = ReadFileBytes(dir.File(kOsImageName));
  std::vector<double> worker, logged, bare, bounded;
  size_t peak = 0;
  for (int i = 0; i < kRounds; ++i) {
    size_t p = 0;
    worker.push_back(WorkerRun(dir, &p, false));
    peak = std::max(peak, p);
    logged.push_back(WorkerRun(dir, &p, true));
    peak = std::max(peak, p);
    bare.push_back(BareRun(image));
    bounded.push_back(BoundedRun(image));
  }
  std::sort(bounded.begin(), bounded.end());
  std::sort(worker.begin(), worker.end());
  std::sort(logged.begin(), logged.end());
  std::sort(bare.begin(), bare.end());
  double mib = kImageSize / 1048576.0;
  double w = mib / worker[kRounds / 2], b = mib / bare[kRounds / 2];
  std::printf("image            %.0f MiB, %d rounds, medians\n", mib, kRounds);
  std::printf("worker           %.1f MiB/s (%.3f s)\n", w, worker[kRounds / 2]);
  double l = mib / logged[kRounds / 2];
  std::printf("worker, logged   %.1f MiB/s (%.3f s; the log adds %+.0f ms)\n", l, logged[kRounds / 2],
              (logged[kRounds / 2] - worker[kRounds / 2]) * 1000.0);
  std::printf("bare loop        %.1f MiB/s (%.3f s)\n", b, bare[kRounds / 2]);
  std::printf("bounded loop     %.1f MiB/s (%.3f s)\n", mib / bounded[kRounds / 2], bounded[kRounds / 2]);
  std::printf("ratio            %.2f without the log, %.2f with it (target >= 0.90)\n", w / b, l / b);
  std::printf("download memory  %.1f MiB at its peak = image + %.1f MiB (target < image + 8 MiB)\n", peak / 1048576.0,
              (double(peak) - kImageSize) / 1048576.0);
  return 0;
}
