// What the image's SHA-256 adds to the start of a 64 MiB download. The start reads
// the image whole on a thread of its own and hashes each piece as it comes in; this
// holds that against a bare read of the same file in the same pieces (interleaved
// rounds, medians), times the hash alone in memory (system and built-in), and keeps
// the window's longest pause while the image loads and hashes.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "clock.h"
#include "flash/image_load.h"
#include "images/checksum_file.h"
#include "images/discovery.h"
#include "images/sha256.h"
#include "test_support.h"

using namespace testing_support;

namespace {

constexpr uint32_t kSize = 64u << 20;
constexpr int kRounds = 5;

double BareRead(const std::wstring& path, std::vector<uint8_t>& into) {
  LARGE_INTEGER a = Now();
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  uint32_t done = 0;
  while (done < kSize) {
    DWORD got = 0;
    DWORD want = std::min<DWORD>(kSize - done, kImageReadPiece);
    if (!ReadFile(f, into.data() + done, want, &got, nullptr) || got == 0) break;
    done += got;
  }
  CloseHandle(f);
  return Seconds(a, Now());
}

}  // namespace

int main() {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", kSize));
  dir.Write(kBootImageName, MakeImage("B000FF\n", 64));
  TestWindow window(dir.Path());
  std::vector<uint8_t> buffer(kSize);

  std::printf("SHA-256 at the start of a 64 MiB download (%u-bit program)\n", unsigned(sizeof(void*) * 8));
  std::vector<double> bare, loaded, quiet, pauses;
  std::string digest;
  for (int round = 0; round < kRounds; ++round) {
    bare.push_back(BareRead(dir.File(kOsImageName), buffer));
    // With nobody asking the window anything meanwhile.
    LARGE_INTEGER q = Now();
    LoadImageFile(dir.File(kOsImageName));
    quiet.push_back(Seconds(q, Now()));

    std::atomic<bool> stop{false};
    std::atomic<long long> longestUs{0};
    HWND hwnd = window.hwnd();
    std::thread pinger([&] {
      while (!stop) {
        LARGE_INTEGER a = Now();
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result)) break;
        long long us = static_cast<long long>(Seconds(a, Now()) * 1e6);
        if (us > longestUs) longestUs = us;
        Sleep(1);
      }
    });
    LARGE_INTEGER a = Now();
    LoadedImage image = LoadImageFile(dir.File(kOsImageName));
    // The lookup and comparison the start adds (no checksum file beside the image).
    bool checked = FindExpectedChecksums(dir.Path(), kOsImageName).empty();
    loaded.push_back(Seconds(a, Now()));
    stop = true;
    pinger.join();
    pauses.push_back(longestUs / 1000.0);
    if (image.status != LoadStatus::Loaded || !checked) {
      std::fprintf(stderr, "the image did not load\n");
      return 2;
    }
    digest = HexDigest(image.sha256);
  }
  std::printf("  bare read in 1 MiB pieces:     median %6.3f s\n", Median(bare));
  std::printf("  read and hashed by the loader, a message to the window every ms: median %6.3f s (adds %+.3f s)\n",
              Median(loaded), Median(loaded) - Median(bare));
  std::printf("  the same, window left alone:   median %6.3f s (adds %+.3f s)\n", Median(quiet),
              Median(quiet) - Median(bare));
  std::printf("  window's longest pause while loading: median %.1f ms, worst %.1f ms\n", Median(pauses),
              *std::max_element(pauses.begin(), pauses.end()));
  for (bool system : {true, false}) {
    std::vector<double> t;
    for (int round = 0; round < kRounds; ++round) {
      LARGE_INTEGER a = Now();
      Sha256Digest d = Sha256Of(buffer.data(), buffer.size(), system);
      t.push_back(Seconds(a, Now()));
      if (HexDigest(d) != digest) {
        std::fprintf(stderr, "digests differ\n");
        return 2;
      }
    }
    std::printf("  hash alone in memory, %-9s median %6.3f s\n", system ? "system:" : "built-in:", Median(t));
  }
  return 0;
}
