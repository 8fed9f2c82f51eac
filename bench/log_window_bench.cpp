// How long the window goes unanswered while the log window shows a 50 MB log. The
// window is the real log window over the main window on this thread; a second thread
// sends it one message after another and keeps the longest wait for an answer, while
// this thread picks the long log and this run's in turn and serves the window until
// each is shown whole. First the window is left alone for a while, for what a pause
// costs on this machine at all; last, the edit control is given a log's text at once,
// 64 KiB (the end that is shown) and 8 MiB (what a long log was shown up to before).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/flash_log.h"
#include "app/log_window.h"
#include "clock.h"
#include "images/discovery.h"
#include "res/resource.h"
#include "test_support.h"

using namespace testing_support;

namespace {

constexpr int kRounds = 10;

std::wstring TextOf(HWND control) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(control, &text[0], static_cast<int>(text.size()))));
  return text;
}

// This thread's processor time so far, in milliseconds: what the window's own work
// costs, apart from the time other jobs on a busy machine hold the processor.
double ThreadCpuMs() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  auto ms = [](const FILETIME& t) { return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4; };
  return ms(kernel) + ms(user);
}

// Serves the window until `done`, and keeps the processor time of its costliest message.
void ServeUntil(const std::function<bool()>& done, double* costliestMs) {
  while (!done()) {
    MSG m;
    if (!PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      continue;
    }
    const double before = ThreadCpuMs();
    TranslateMessage(&m);
    DispatchMessageW(&m);
    *costliestMs = std::max(*costliestMs, ThreadCpuMs() - before);
  }
}

}  // namespace

int main() {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  const std::wstring folder = dir.Path() + L"logs";
  CreateDirectoryW(folder.c_str(), nullptr);
  // A run's log that grew to 50 MB: the device's reports, line after line.
  const std::string stamp = "2026-01-07 08:09:10.000  ";
  const std::string line = stamp + "monitor report (128 bytes read): kind 0x40, bytes 1-3 00 00 32: write 50 %\r\n";
  {
    std::ofstream out(Narrow(folder + L"\\r47flash-20260107-080910-17.log"), std::ios::binary);
    out << "\xEF\xBB\xBF" << stamp << "r47flash 1.0.0.0 started, process 17\r\n";
    std::string block;
    while (block.size() < (1u << 20)) block += line;
    for (size_t written = 0; written < (50u << 20); written += block.size()) out << block;
    out << stamp << "r47flash ends; outcome: failed: Schreibfehler\r\n";
  }
  if (!OpenFlashLog(folder)) {
    std::fprintf(stderr, "no log could be opened in the folder\n");
    return 2;
  }
  LogLine(L"this run");
  TestWindow window(dir.Path());
  HWND logWindow = OpenLogWindow(window.hwnd());
  if (!logWindow) {
    std::fprintf(stderr, "the log window did not open\n");
    return 2;
  }
  HWND list = GetDlgItem(logWindow, IDC_LOG_RUNS);

  std::atomic<bool> stop{false};
  std::atomic<long long> longestUs{0}, answers{0};
  std::thread pinger([&] {
    while (!stop) {
      LARGE_INTEGER a = Now();
      DWORD_PTR result = 0;
      if (!SendMessageTimeoutW(logWindow, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &result)) break;
      long long us = static_cast<long long>(Seconds(a, Now()) * 1e6);
      if (us > longestUs) longestUs = us;
      ++answers;
      Sleep(1);
    }
  });
  double costliestMs = 0;
  auto pick = [&](int entry, const wchar_t* shown) {
    LARGE_INTEGER a = Now();
    const double before = ThreadCpuMs();
    SendMessageW(list, CB_SETCURSEL, entry, 0);
    SendMessageW(logWindow, WM_COMMAND, MAKEWPARAM(IDC_LOG_RUNS, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    costliestMs = std::max(costliestMs, ThreadCpuMs() - before);
    ServeUntil([&] { return TextOf(GetDlgItem(logWindow, IDC_LOG_TEXT)).find(shown) != std::wstring::npos; },
               &costliestMs);
    return Seconds(a, Now());
  };
  // The window left alone first: what a pause costs here at all.
  PumpUntil([] { return false; }, 2000);
  const double idleMs = longestUs / 1000.0;
  longestUs = 0;
  std::vector<double> toShown;
  for (int round = 0; round < kRounds; ++round) {
    toShown.push_back(pick(1, L"outcome: failed: Schreibfehler"));
    pick(0, L"this run");
  }
  stop = true;
  pinger.join();
  std::printf("log window with a 50 MB log (%u-bit program); left alone for 2 s, its longest pause %.1f ms\n",
              unsigned(sizeof(void*) * 8), idleMs);
  std::printf("  picked %d times: shown after %.1f ms (median; slowest %.1f ms); %lld answers, longest pause %.1f ms\n",
              kRounds, Median(toShown) * 1000, *std::max_element(toShown.begin(), toShown.end()) * 1000,
              static_cast<long long>(answers), longestUs / 1000.0);
  std::printf("  the costliest message took %.0f ms of processor time (at the clock's grain of 10 to 16 ms)\n",
              costliestMs);

  // The edit control given a log's text at once.
  HWND text = GetDlgItem(logWindow, IDC_LOG_TEXT);
  const std::wstring wideLine(line.begin(), line.end());
  std::printf("  the edit control given the text at once:");
  for (size_t kib : {64u, 8192u}) {
    std::wstring shown;
    while (shown.size() < (kib << 10)) shown += wideLine;
    SetWindowTextW(text, L"");
    LARGE_INTEGER a = Now();
    SetWindowTextW(text, shown.c_str());
    std::printf("%s %u KiB in %.0f ms", kib == 64 ? "" : ",", unsigned(kib), Seconds(a, Now()) * 1000);
  }
  std::printf("\n");
  DestroyWindow(logWindow);
  CloseFlashLog();
  return 0;
}
