#include "app/update.h"

#include <optional>
#include <string>
#include <vector>

#include "app/connection_warning.h"
#include "app/controls.h"
#include "app/download_view.h"
#include "app/flash_guard.h"
#include "app/flash_log.h"
#include "app/message_loop.h"
#include "app/status_texts.h"
#include "app/taskbar.h"
#include "app/update_rules.h"
#include "app/window_messages.h"
#include "app/window_state.h"
#include "device/discovery.h"
#include "device/messages.h"
#include "images/discovery.h"
#include "images/version_file.h"
#include "res/resource.h"
#include "text/text.h"

namespace {

constexpr int kVersionQueries = 10;
constexpr DWORD kVersionQueryPauseMs = 1000;
constexpr int kStartAttempts = 10;
constexpr DWORD kStartAttemptPauseMs = 3000;

// During the pre-flight's waits Exit, the close box and Escape end the program (see
// RunUpdateSteps); the window is then gone, and nothing more may be opened or shown.
bool WindowGone(const MainWindowState& state) { return StateOf(state.window) != &state; }

// False when the program is ending: the quit message came, or the window went.
bool Pause(const MainWindowState& state, DWORD milliseconds) {
  return ServeMessages(milliseconds) != LoopEnd::Quit && !WindowGone(state);
}

bool EndedDuringPreflight() {
  LogLine(L"update ended by the user before anything was sent");
  return false;
}

// The size found at start; once the image is read, the window shows the size read.
void ShowSelectedImageSize(const MainWindowState& state) {
  wchar_t selected[64] = {};
  GetDlgItemTextW(state.window, IDC_IMAGE_LIST, selected, 64);
  ShowImageSize(state.window, std::wstring(selected) == kOsImageName ? state.found.osSize : state.found.bootSize);
}

void ShowStatus(HWND window, const std::wstring& text) {
  SetDlgItemTextW(window, IDC_STATUS, text.c_str());
  LogStatus(text);
}

// A stage of the pre-flight with its count, e.g. "... 3 von 10".
void ShowStage(HWND window, UINT textId, int step, int steps) {
  const int numbers[] = {step, steps};
  ShowStatus(window, FormatText(LoadText(textId), nullptr, 0, numbers, 2));
}

void ShowImageChosen(HWND window, uint16_t deviceVersion, int bootHigh, int bootLow, const std::wstring& image) {
  ShowStatus(window, ImageChosenText(deviceVersion, bootHigh, bootLow, image));
}

// Device paths come from the system's ANSI calls.
std::wstring Widen(const std::string& s) { return DecodeBytes(s.data(), s.size(), CP_ACP); }

// Nothing was sent: the message in a box and on the status line, the window idle.
void EndWithoutFlash(MainWindowState& state, UINT textId) {
  std::wstring text = LoadText(textId);
  ShowTaskbarError(state.taskbar, state.window);
  ShowError(state.window, text);
  ShowStatus(state.window, text);
  SetControlsEnabled(state, true);
}

// The log names the device of each run once, when it is pinned.
void LogPinnedDevice(const DevicePin& pin, bool& logged) {
  if (logged || !pin.Pinned()) return;
  logged = true;
  LogLine(L"device of this run: " + Widen(pin.Path()));
}

// True when a download was started: it runs on, and its end ends the program.
bool RunUpdateSteps(MainWindowState& state) {
  HWND window = state.window;
  SetControlsEnabled(state, false);
  ShowStatus(window, LoadText(IDS_DOWNLOADING));
  ResetProgress(state);

  int bootHigh = 0, bootLow = 0;
  bool mustUpdateBoot = false;
  bool versionRead = ReadVersionFile(&bootHigh, &bootLow, &mustUpdateBoot);
  LogVersionFile(versionRead, bootHigh, bootLow, mustUpdateBoot);

  int listed = static_cast<int>(SendDlgItemMessageW(window, IDC_IMAGE_LIST, CB_GETCOUNT, 0, 0));
  std::wstring missing;
  if (listed < 2)
    missing = MissingFileNames(state.found.set, versionRead);
  else if (!versionRead)
    missing = kVersionFileName;
  if (!missing.empty()) {
    // The line says what it said before the click; the box names every file and, for
    // version.ver, the folder it was looked for in (a shortcut's start folder is the
    // usual cause).
    ShowStatus(window, MissingFilesLineNow(state.found.set));
    ShowError(window, MissingFilesBoxText(missing, !versionRead, VersionFileFolder()));
    EndProgram(window);
    return false;
  }

  if (!CheckSyncConnection()) {
    OpenConnectionWarning(window);
    return false;
  }

  // One handheld per run: with several in flash mode, which one was asked and which
  // one is written could differ. One plugged in later is never taken (the pin).
  std::vector<std::string> present = PresentDevicePaths();
  if (present.size() > 1) {
    std::wstring line = L"refused: " + std::to_wstring(present.size()) + L" devices in flash mode:";
    for (const std::string& path : present) line += L" " + Widen(path);
    LogLine(line);
    EndWithoutFlash(state, IDS_SEVERAL_DEVICES);
    return false;
  }

  // Until the first attempt opens the data pipe nothing has been sent: Exit stays
  // available through the waits and the queries, and ends the program as at idle.
  SetControlsPreflight(state);

  // Ten queries a second apart; the latest answer counts, given once the device has
  // had its time in flash mode. A read that failed is kept as no answer. The first
  // device that answers is the one device of this run.
  // (the window's thread waits for the device serving the window: see InitMainWindow;
  // a query in flight when the window goes is cancelled at once)
  DevicePin pin;
  bool pinLogged = false;
  std::vector<VersionAnswer> answers;
  for (int i = 0; i < kVersionQueries; ++i) {
    if (!Pause(state, kVersionQueryPauseMs)) return EndedDuringPreflight();
    ShowStage(window, IDS_STAGE_VERSION_QUERY, i + 1, kVersionQueries);
    DWORD error = 0;
    VersionAnswer answer = QueryBootVersion(&error, &pin);
    if (WindowGone(state)) {
      LogLine(L"version query " + std::to_wstring(i + 1) + L"/" + std::to_wstring(kVersionQueries) + L": abandoned");
      return EndedDuringPreflight();
    }
    answers.push_back(answer);
    LogPinnedDevice(pin, pinLogged);
    LogVersionAnswer(i + 1, kVersionQueries, answers.back(), error);
  }
  DeviceVersionVerdict verdict = DecideDeviceVersion(answers);
  if (verdict.busy) {
    // Still formatting or writing an earlier image: anything sent now would land in
    // the middle of that.
    LogLine(L"refused: the device is busy with an earlier flash");
    EndWithoutFlash(state, IDS_DEVICE_BUSY);
    return false;
  }
  uint16_t deviceVersion = verdict.version;
  int index = ChooseImageIndex(mustUpdateBoot, bootHigh, bootLow, deviceVersion);
  SendDlgItemMessageW(window, IDC_IMAGE_LIST, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  wchar_t chosen[64] = {};
  GetDlgItemTextW(window, IDC_IMAGE_LIST, chosen, 64);
  LogVersionChoice(deviceVersion, chosen);
  ShowImageChosen(window, deviceVersion, bootHigh, bootLow, chosen);
  ShowSelectedImageSize(state);

  // Only a device that is not in flash mode yet is worth waiting for. An attempt
  // that failed for a reason of its own (a missing or damaged image) has said so,
  // once, and left the window idle with its message: trying again cannot mend a file.
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    if (!Pause(state, kStartAttemptPauseMs)) return EndedDuringPreflight();
    ShowStage(window, IDS_STAGE_ATTEMPT, attempt + 1, kStartAttempts);
    // From the opening of the data pipe on, the device may be receiving: no way out.
    SetControlsEnabled(state, false);
    StartResult started = StartSelectedDownload(state, pin);
    LogPinnedDevice(pin, pinLogged);
    if (started != StartResult::NoDevice) return started == StartResult::Started;
    SetControlsPreflight(state);
  }
  EndWithoutFlash(state, IDS_DEVICE_NOT_FOUND);
  return false;
}

}  // namespace

void RunUpdate(MainWindowState& state) {
  // Never twice at once (the waits serve messages), never during a download.
  if (state.updateRunning || IsDownloadRunning()) return;
  state.updateRunning = true;
  LogUpdateStarted();
  BeginFlashGuard(state.guard, state.window);
  // A started download keeps the guard until it reports its end.
  if (!RunUpdateSteps(state)) EndFlashGuard(state.guard, state.window);
  state.updateRunning = false;
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
