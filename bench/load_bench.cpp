// How long the window goes unanswered while a large image loads. The window is the
// real main window on this thread; while a thread of its own reads the image, as the
// pre-flight does, a second thread sends the window one message after another and
// keeps the longest wait for an answer. The images are sparse and all zeros: once read they are refused as
// damaged, so the simulated handheld gets nothing.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "clock.h"
#include "flash/download.h"
#include "images/discovery.h"
#include "sim_harness.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Notes when the image has been read; shows nothing.
class LoadTimer : public FlashEvents {
 public:
  void Progress(int, bool) override {}
  void StatusPercent(int) override {}
  void Failure(const FlashFailure&) override {}
  void Success(ImageKind) override {}
  void Done() override {}
  void ImageLoaded(const std::wstring&, uint32_t size, ImageKind) override {
    loadedAt = Now();
    loadedSize = size;
  }
  LARGE_INTEGER loadedAt{};
  uint32_t loadedSize = 0;
};

}  // namespace

int main() {
  auto device = simctl::SimDevice::Start({});
  if (!device) {
    std::fprintf(stderr, "simulated handheld did not start: %s\n", simctl::LastError().c_str());
    return 2;
  }
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  dir.Write(kBootImageName, MakeImage("B000FF\n", 64));
  TestWindow window(dir.Path());

  std::printf("window pause while an image loads (%u-bit program)\n", unsigned(sizeof(void*) * 8));
  const uint64_t sizes[] = {1536ull << 20, 0xFFFFFFFFull};
  for (uint64_t size : sizes) {
    if (!MakeSparseFile(dir.File(kOsImageName), size)) {
      std::fprintf(stderr, "could not make a sparse file of %llu bytes\n", static_cast<unsigned long long>(size));
      return 2;
    }
    std::atomic<bool> stop{false};
    std::atomic<long long> longestUs{0}, answers{0};
    HWND hwnd = window.hwnd();
    std::thread pinger([&] {
      while (!stop) {
        LARGE_INTEGER a = Now();
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &result)) break;
        long long us = static_cast<long long>(Seconds(a, Now()) * 1e6);
        if (us > longestUs) longestUs = us;
        ++answers;
        Sleep(1);
      }
    });
    auto timer = std::make_shared<LoadTimer>();
    LARGE_INTEGER start = Now();
    std::atomic<bool> read{false}, verified{false};
    std::thread reader([&] {
      VerifiedImage image;
      verified = ReadVerifiedImage(dir.Path(), kOsImageName, timer, nullptr, &image);
      read = true;
    });
    PumpUntil([&] { return read.load(); }, 600000);
    reader.join();
    stop = true;
    pinger.join();
    if (timer->loadedSize) {
      std::printf("  %10llu bytes: read in %6.2f s; %lld answers, longest pause %.1f ms\n",
                  static_cast<unsigned long long>(size), Seconds(start, timer->loadedAt),
                  static_cast<long long>(answers), longestUs / 1000.0);
    } else {
      std::printf("  %10llu bytes: refused without reading (%s); %lld answers, longest pause %.1f ms\n",
                  static_cast<unsigned long long>(size), verified ? "?" : "refused", static_cast<long long>(answers),
                  longestUs / 1000.0);
    }
    dir.Remove(kOsImageName);
  }
  return 0;
}
