// r47sim: a simulated r47 handheld in ROM flash mode.
//
// While plugged in it is registered as a present USB device whose device path
// leads to its three named pipes: \\.\pipe\NAME (the device interface; open
// and close only), \\.\pipe\NAME\PIPE00 (status reports, read by the PC) and
// \\.\pipe\NAME\PIPE01 (image and command packet, written by the PC). It records
// everything written to it and can misbehave on demand; see sim/README.md.
//
// This file is the main loop: plug in, unplug and replug, quit.
// state.*: what the device answers; pipes.*: serving the pipes;
// recorder.*: the record folder; registration.*: the device as SetupAPI lists it.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "options.h"
#include "pipes.h"
#include "recorder.h"
#include "registration.h"
#include "state.h"

namespace r47sim {
namespace {

HANDLE g_quit = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (g_quit) SetEvent(g_quit);
  return TRUE;
}

int Run(int argc, char** argv) {
  Options opt;
  std::string error;
  if (!ParseCommandLine(argc, argv, opt, error)) {
    std::fprintf(stderr, "r47sim: %s\n", error.c_str());
    return 2;
  }
  if (opt.recordDir.empty()) {
    char tmp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof tmp, tmp);
    opt.recordDir = std::string(tmp, n) + "r47sim-" + opt.name;
  }
  Recorder rec;
  if (!rec.Open(opt.recordDir)) {
    std::fprintf(stderr, "r47sim: cannot write to record directory %s\n", opt.recordDir.c_str());
    return 2;
  }
  g_quit = CreateEventA(nullptr, TRUE, FALSE, opt.quitEvent.c_str());
  if (!g_quit) {
    std::fprintf(stderr, "r47sim: cannot create event %s\n", opt.quitEvent.c_str());
    return 2;
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  // Set by a test to pull the plug or put it back at a moment of its choosing.
  HANDLE unplugAsked = CreateEventA(nullptr, FALSE, FALSE, opt.unplugEvent.c_str());
  HANDLE plugAsked = CreateEventA(nullptr, FALSE, FALSE, opt.plugEvent.c_str());
  if (!unplugAsked || !plugAsked) {
    std::fprintf(stderr, "r47sim: cannot create events %s, %s\n", opt.unplugEvent.c_str(), opt.plugEvent.c_str());
    return 2;
  }
  HANDLE parent = nullptr;
  if (opt.parentPid) {
    parent = OpenProcess(SYNCHRONIZE, FALSE, opt.parentPid);
    if (!parent) {
      rec.Event("parent process %lu is gone; exiting", opt.parentPid);
      return 1;
    }
  }

  // The device as the system lists it; present only while the pipes serve.
  Registration reg;
  if (!reg.Create(opt.name, error)) {
    rec.Event("error: cannot register the device: %s", error.c_str());
    std::fprintf(stderr, "r47sim: cannot register the device: %s\n", error.c_str());
    return 1;
  }

  Requests req;
  req.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  Device dev(opt, rec);
  std::unique_ptr<Plug> plug;
  const unsigned long long start = GetTickCount64();
  const unsigned long long end = start + opt.lifetimeMs;
  unsigned long long replugAt = 0;
  bool firstPlug = true;
  int exitCode = 0;

  auto insert = [&]() -> bool {
    dev.Reset();
    plug = std::make_unique<Plug>(opt, rec, dev, req);
    if (!plug->Insert()) {
      rec.Event("error: pipes could not be created");
      return false;
    }
    if (!reg.Plug(error)) {
      rec.Event("error: the device cannot be made present: %s", error.c_str());
      return false;
    }
    rec.Event("plugged in as %s (pipes \\\\.\\pipe\\%s)", reg.DevicePath().c_str(), opt.name.c_str());
    if (firstPlug) {
      // The device path, for whoever waits for the device to come up.
      // Written aside and renamed, so that a reader never sees it half written.
      std::string ready = opt.recordDir + "\\ready";
      if (FILE* f = std::fopen((ready + ".part").c_str(), "wb")) {
        std::fputs(reg.DevicePath().c_str(), f);
        std::fclose(f);
        MoveFileExA((ready + ".part").c_str(), ready.c_str(), MOVEFILE_REPLACE_EXISTING);
      }
      std::printf("READY\n");
      std::fflush(stdout);
      firstPlug = false;
    }
    return true;
  };

  if (!insert()) {
    exitCode = 1;
  } else {
    for (;;) {
      unsigned long long now = GetTickCount64();
      if (now >= end) {
        rec.Event("lifetime over");
        break;
      }
      DWORD timeout = static_cast<DWORD>(std::min<unsigned long long>(end - now, 0x7FFFFFFF));
      if (replugAt) timeout = std::min<DWORD>(timeout, replugAt > now ? static_cast<DWORD>(replugAt - now) : 0);
      if (plug && dev.WantsTicks() && opt.paceMs) timeout = std::min<DWORD>(timeout, 5);
      enum { kQuit, kRequest, kUnplugAsked, kPlugAsked, kParentEnded };
      HANDLE waits[] = {g_quit, req.event, unplugAsked, plugAsked, parent};
      DWORD w = WaitForMultipleObjects(parent ? 5 : 4, waits, FALSE, timeout);
      if (w == WAIT_OBJECT_0 + kQuit) {
        rec.Event("quit requested");
        break;
      }
      if (w == WAIT_OBJECT_0 + kUnplugAsked && plug) req.AskUnplug(UnplugReason::Asked);
      if (w == WAIT_OBJECT_0 + kPlugAsked && !plug) replugAt = GetTickCount64();
      if (w == WAIT_OBJECT_0 + kParentEnded) {
        rec.Event("parent process ended");
        break;
      }
      if (w == WAIT_FAILED) {
        rec.Event("error: wait failed (%lu)", GetLastError());
        exitCode = 1;
        break;
      }
      if (plug && dev.WantsTicks() && opt.paceMs && dev.FlashUnplugDue()) req.AskUnplug(UnplugReason::Fault);
      UnplugReason reason = req.Take();
      if (reason != UnplugReason::None && plug) {
        reg.Unplug();  // unlisted and unreachable first, then the pipes go
        plug.reset();  // closes every instance and waits for the pipe threads
        rec.Event("%s", UnplugEventText(reason));
        // No pipe thread runs now: the options can change under nobody.
        if (reason == UnplugReason::Fault && opt.unplugOnce) opt.unplugAt.kind = UnplugPoint::Never;
        if (opt.replugAfterMs >= 0) replugAt = GetTickCount64() + static_cast<unsigned>(opt.replugAfterMs);
      }
      if (replugAt && GetTickCount64() >= replugAt) {
        replugAt = 0;
        if (!insert()) {
          exitCode = 1;
          break;
        }
      }
    }
  }
  reg.Unplug();
  plug.reset();
  reg.Remove();
  rec.Event("exit");
  if (parent) CloseHandle(parent);
  CloseHandle(unplugAsked);
  CloseHandle(plugAsked);
  return exitCode;
}

}  // namespace
}  // namespace r47sim

int main(int argc, char** argv) { return r47sim::Run(argc, argv); }
