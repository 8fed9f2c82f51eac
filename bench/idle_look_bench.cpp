// What the idle window's look at the bus costs the window's thread: the discovery call
// it makes every two seconds (each present interface opened and closed), with no
// handheld, one, two, and one whose simulator was killed (listed, not openable).
// Medians and the slowest of many looks; the window waits for each one.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "device/discovery.h"
#include "sim_harness.h"

namespace {

constexpr int kLooks = 60;
// The window looks every two seconds; looks back to back would outrun the simulator,
// which puts a new listening instance of its interface up after each open.
constexpr DWORD kPauseMs = 50;

void Measure(const char* name, size_t expected) {
  std::vector<double> ms;
  size_t fewest = SIZE_MAX, most = 0;
  PresentDevicePaths();  // SetupAPI's first load is the program's start, not a look
  for (int i = 0; i < kLooks; ++i) {
    Sleep(kPauseMs);
    LARGE_INTEGER a = Now();
    const size_t found = PresentDevicePaths().size();
    ms.push_back(Seconds(a, Now()) * 1000.0);
    fewest = std::min(fewest, found);
    most = std::max(most, found);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-34s %zu..%zu found (expected %zu): median %.2f ms, slowest %.2f ms of %d looks\n", name, fewest, most,
              expected, ms[ms.size() / 2], ms.back(), kLooks);
}

}  // namespace

int main() {
  std::printf("one look at the bus (PresentDevicePaths), as the idle window makes it\n");
  Measure("no handheld", 0);
  auto first = simctl::SimDevice::Start({});
  if (!first) {
    std::printf("no simulated handheld: %s\n", simctl::LastError().c_str());
    return 1;
  }
  Measure("one handheld", 1);
  auto second = simctl::SimDevice::Start({});
  if (second) Measure("two handhelds", 2);
  if (second) second->Stop();
  first->Crash();
  Measure("a killed simulator (not openable)", 0);
  return 0;
}
