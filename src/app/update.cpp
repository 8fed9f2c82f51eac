#include "app/update.h"

#include <optional>
#include <string>
#include <vector>

#include "app/controls.h"
#include "app/secondary.h"
#include "app/ui_text.h"
#include "app/update_rules.h"
#include "device/messages.h"
#include "device/pipe_io.h"
#include "flash/download.h"
#include "images/discovery.h"
#include "images/version_file.h"
#include "res/resource.h"

namespace {

constexpr int kVersionQueries = 10;
constexpr DWORD kVersionQueryPauseMs = 1000;
constexpr int kStartAttempts = 10;
constexpr DWORD kStartAttemptPauseMs = 3000;

bool g_updateRunning;

// Waits for `event` (or only for the time, without one) while serving the window's
// messages, so that it stays painted and Windows never marks it as not responding.
// WAIT_OBJECT_0 when the event was set, WAIT_TIMEOUT when the time ran out, and
// WAIT_ABANDONED when the program was asked to quit meanwhile (the quit message is
// posted again for the outer loop).
DWORD WaitServingMessages(HANDLE event, DWORD milliseconds) {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        return WAIT_ABANDONED;
      }
      HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
      if (!root || !IsDialogMessageW(root, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    ULONGLONG now = GetTickCount64();
    if (event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0) return WAIT_OBJECT_0;
    if (now >= deadline) return WAIT_TIMEOUT;
    MsgWaitForMultipleObjectsEx(event ? 1 : 0, event ? &event : nullptr, static_cast<DWORD>(deadline - now),
                                QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

bool Pause(DWORD milliseconds) { return WaitServingMessages(nullptr, milliseconds) != WAIT_ABANDONED; }

// The version queries read from the device on this thread: keep the window served.
struct ServedDeviceWaits {
  ServedDeviceWaits() { SetIoWaitForThisThread(WaitServingMessages); }
  ~ServedDeviceWaits() { SetIoWaitForThisThread(nullptr); }
};

void ShowSelectedImageSize(HWND window) {
  wchar_t selected[64] = {};
  GetDlgItemTextW(window, IDC_IMAGE_LIST, selected, 64);
  uint32_t size = std::wstring(selected) == kOsImageName ? OsImageSize() : BootImageSize();
  SetDlgItemTextW(window, IDC_IMAGE_SIZE, FormatTextNumber(IDS_SIZE_FORMAT, static_cast<int>(size >> 10)).c_str());
}

void RunUpdateSteps(HWND window) {
  SetControlsEnabled(false);
  SetDlgItemTextW(window, IDC_STATUS, LoadText(IDS_DOWNLOADING).c_str());
  ResetProgress();

  int bootHigh = 0, bootLow = 0;
  bool mustUpdateBoot = false;
  bool versionRead = ReadVersionFile(&bootHigh, &bootLow, &mustUpdateBoot);

  int listed = static_cast<int>(SendDlgItemMessageW(window, IDC_IMAGE_LIST, CB_GETCOUNT, 0, 0));
  std::wstring missing;
  if (listed < 2) missing = MissingFileNames(CurrentImageSet(), versionRead);
  else if (!versionRead) missing = kVersionFileName;
  if (!missing.empty()) {
    ShowError(window, FormatTextString(IDS_FILE_MISSING, missing));
    DestroyWindow(window);
    return;
  }

  if (!CheckSyncConnection()) {
    OpenConnectionWarning(window);
    return;
  }

  // Ten queries a second apart; the latest answer counts, given once the device has
  // had its time in flash mode. A read that failed is kept as no answer.
  std::vector<std::optional<uint16_t>> answers;
  {
    ServedDeviceWaits served;
    for (int i = 0; i < kVersionQueries; ++i) {
      if (!Pause(kVersionQueryPauseMs)) return;
      answers.push_back(QueryBootVersion());
    }
  }
  uint16_t deviceVersion = DeviceVersionFromAnswers(answers);
  int index = ChooseImageIndex(mustUpdateBoot, bootHigh, bootLow, deviceVersion);
  SendDlgItemMessageW(window, IDC_IMAGE_LIST, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  ShowSelectedImageSize(window);

  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    if (!Pause(kStartAttemptPauseMs)) return;
    if (StartDownload(window)) return;
  }
  std::wstring text = LoadText(IDS_DEVICE_NOT_FOUND);
  ShowError(window, text);
  SetDlgItemTextW(window, IDC_STATUS, text.c_str());
  SetControlsEnabled(true);
}

}  // namespace

void RunUpdate(HWND window) {
  // Never twice at once (the waits serve messages), never during a download.
  if (g_updateRunning || IsDownloadRunning()) return;
  g_updateRunning = true;
  RunUpdateSteps(window);
  g_updateRunning = false;
}

int CheckSyncConnection() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows CE Services", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return 1;
  }
  DWORD value = 0, size = sizeof(value);
  LONG status = RegQueryValueExA(key, "ConnectTypesAllowed", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return 1;
  return (value == 8 || value == 10 || value == 12 || value == 14) ? 0 : 1;
}
