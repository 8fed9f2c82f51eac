#include "app/update.h"

#include <string>

#include "app/connection_warning.h"
#include "app/controls.h"
#include "app/download_view.h"
#include "app/flash_guard.h"
#include "app/flash_log.h"
#include "app/logged_events.h"
#include "app/preflight.h"
#include "app/status_texts.h"
#include "app/update_rules.h"
#include "app/window_messages.h"
#include "app/window_state.h"
#include "images/version_file.h"
#include "res/resource.h"
#include "text/text.h"

namespace {

// How long the program's end waits for a stopped pre-flight to let go of the device:
// each of its waits watches the stop, so it ends within moments.
constexpr DWORD kPreflightStopWaitMs = 5000;

// The checks that need no device, on the window's thread. True when the pre-flight
// may begin; otherwise what followed was shown, and the window is where it belongs.
bool CheckBeforePreflight(MainWindowState& state) {
  HWND window = state.window;
  VersionFileValues& v = state.versionFile;
  v = VersionFileValues{};
  const bool versionRead = ReadVersionFile(&v.bootHigh, &v.bootLow, &v.mustUpdateBoot);
  LogVersionFile(versionRead, v.bootHigh, v.bootLow, v.mustUpdateBoot);

  std::wstring missing;
  if (state.found.listed.size() < 2)
    missing = MissingFileNames(state.found.set, versionRead);
  else if (!versionRead)
    missing = kVersionFileName;
  if (!missing.empty()) {
    // The line says what it said before the click; the box names every file and, for
    // version.ver, the folder it was looked for in (a shortcut's start folder is the
    // usual cause).
    ShowStatus(state, MissingFilesLineNow(state.found.set));
    ShowError(window, MissingFilesBoxText(missing, !versionRead, VersionFileFolder()));
    SetPhase(state, Phase::Ending);
    EndProgram(window);
    return false;
  }

  if (!CheckSyncConnection()) {
    SetPhase(state, Phase::Warning);
    OpenConnectionWarning(window);
    return false;
  }
  return true;
}

}  // namespace

void RunUpdate(MainWindowState& state) {
  // Never twice at once, never during a download, never beside a pre-flight that has
  // not ended yet.
  if (state.phase != Phase::Idle || state.preflight.thread.valid()) return;
  LogUpdateStarted();
  BeginFlashGuard(state.guard, state.window);
  SetPhase(state, Phase::Starting);
  ShowStatus(state, LoadText(IDS_DOWNLOADING));
  ResetProgress(state);
  state.chosenImage = -1;
  if (!CheckBeforePreflight(state)) {
    EndFlashGuard(state.guard, state.window);
    return;
  }

  PreflightJob job;
  job.programDirectory = state.programDirectory;
  job.versionFile = state.versionFile;
  job.preflightEvents = WindowPreflightReports(state.window);
  job.flashEvents = LoggedEvents(WindowEvents(state.window));
  job.control = std::make_shared<PreflightControl>();
  state.preflight.control = job.control;
  state.preflight.thread.reset(StartPreflight(job));
  if (!state.preflight.thread.valid()) {
    // Nothing was sent: say so, and let the user try again.
    LogLine(L"the pre-flight's thread could not be started: system error " + std::to_wstring(GetLastError()));
    state.preflight.control.reset();
    EndFlashGuard(state.guard, state.window);
    const std::wstring text = LoadText(IDS_THREAD_FAILED);
    ShowError(state.window, text);
    ShowStatus(state, text);
    SetPhase(state, Phase::Idle);
  }
}

bool EndRequested(MainWindowState& state) {
  if (!MayEndNow(state.phase)) return false;
  if (state.phase == Phase::Preflight && state.preflight.control) {
    // Lost to an attempt that is opening the data pipe: the device may receive now.
    if (!state.preflight.control->Stop()) return false;
    LogLine(L"update ended by the user before anything was sent");
  }
  SetPhase(state, Phase::Ending);
  return true;
}

void WaitForPreflightEnd(MainWindowState& state) {
  if (!state.preflight.thread.valid()) return;
  if (state.preflight.control) state.preflight.control->Stop();
  if (WaitForSingleObject(state.preflight.thread.get(), kPreflightStopWaitMs) != WAIT_OBJECT_0)
    LogLine(L"the pre-flight did not end in time; the program ends without it");
  state.preflight.thread.reset();
}

bool CheckSyncConnection() {
  // The values of ConnectTypesAllowed with which the service keeps the USB connection.
  constexpr DWORD kValuesClaimingUsb[] = {8, 10, 12, 14};
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows CE Services", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return true;
  }
  DWORD value = 0, size = sizeof(value);
  LONG status = RegQueryValueExA(key, "ConnectTypesAllowed", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return true;
  for (DWORD claiming : kValuesClaimingUsb) {
    if (value == claiming) return false;
  }
  return true;
}
