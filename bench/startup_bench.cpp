// Time from starting r47flash.exe to its visible main window, with a 64 MiB OS image
// beside it and with a 7-byte one: the discovery reads only the header, so the two
// should not differ.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "clock.h"
#include "images/discovery.h"
#include "test_support.h"

using namespace testing_support;

namespace {

constexpr int kRounds = 9;

double StartToWindowMs(const TempDir& dir) {
  std::wstring exe = dir.File(L"r47flash.exe");
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  LARGE_INTEGER f, t0, t1;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t0);
  std::wstring cmd = L"\"" + exe + L"\"";
  if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, dir.Path().c_str(), &si, &pi)) {
    std::fprintf(stderr, "cannot start the program\n");
    std::exit(2);
  }
  HWND window = nullptr;
  for (int i = 0; i < 20000 && !window; ++i) {
    HWND w = FindWindowW(nullptr, L"Quon r47 Flash Tool");
    DWORD pid = 0;
    if (w) GetWindowThreadProcessId(w, &pid);
    if (w && pid == pi.dwProcessId && IsWindowVisible(w))
      window = w;
    else
      Sleep(1);
  }
  QueryPerformanceCounter(&t1);
  if (window) PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);  // Exit
  if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  if (!window) {
    std::fprintf(stderr, "no window appeared\n");
    std::exit(2);
  }
  return 1000.0 * double(t1.QuadPart - t0.QuadPart) / double(f.QuadPart);
}

void Prepare(const TempDir& dir, size_t osImageSize) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring program = self;
  program = program.substr(0, program.find_last_of(L'\\') + 1) + L"r47flash.exe";
  CopyFileW(program.c_str(), dir.File(L"r47flash.exe").c_str(), FALSE);
  dir.Write(kOsImageName, MakeImage("X000FF\n", osImageSize));
  dir.Write(kBootImageName, MakeImage("B000FF\n", 7));
}

}  // namespace

int main() {
  TempDir large(L"r47start-large"), small(L"r47start-small");
  Prepare(large, 64u << 20);
  Prepare(small, 7);
  StartToWindowMs(small);  // first start pays for loading the system's libraries
  // Interleaved, so that a busy moment of the machine falls on both alike.
  std::vector<double> smallRuns, largeRuns;
  for (int i = 0; i < kRounds; ++i) {
    smallRuns.push_back(StartToWindowMs(small));
    largeRuns.push_back(StartToWindowMs(large));
  }
  double s = Median(smallRuns), l = Median(largeRuns);
  std::printf(
      "start to visible window, median of %d interleaved: 7-byte OS image %.0f ms, 64 MiB OS image %.0f ms"
      " (%.2fx, target <= 1.10x)\n",
      kRounds, s, l, l / s);
  return 0;
}
