#include "app/device_watch.h"

#include <dbt.h>

#include <string>

#include "app/controls.h"
#include "app/device_watch_rules.h"
#include "app/flash_log.h"
#include "app/status_texts.h"
#include "device/discovery.h"
#include "flash/download.h"
#include "res/resource.h"
#include "text/text.h"

namespace {

// Busy from the Update click until the download's last report, and while the
// connection warning holds the control group disabled without a running update.
bool WindowBusy(const MainWindowState& state) {
  return state.updateRunning || IsDownloadRunning() || state.guard.active || state.applyingReports ||
         !state.reports.empty() || (ControlsCached(state) && !IsWindowEnabled(state.controls.notes));
}

}  // namespace

void StartDeviceWatch(MainWindowState& state) {
  DeviceWatch& watch = state.watch;
  if (watch.running || !state.found.updateAllowed || !state.window) return;
  watch.running = true;
  // Announcements are a speed-up only: without them the timer still sees each change.
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kDeviceInterfaceGuid;
  watch.notification = RegisterDeviceNotificationW(state.window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  SetTimer(state.window, kDeviceWatchTimer, kDeviceWatchPeriodMs, nullptr);
  LookForDevice(state);
}

void StopDeviceWatch(MainWindowState& state) {
  DeviceWatch& watch = state.watch;
  if (!watch.running) return;
  watch.running = false;
  if (state.window) KillTimer(state.window, kDeviceWatchTimer);
  if (watch.notification) UnregisterDeviceNotification(watch.notification);
  watch.notification = nullptr;
}

void LookForDevice(MainWindowState& state) {
  DeviceWatch& watch = state.watch;
  if (!watch.running) return;
  // No device call while an update or a download may use the device.
  if (WindowBusy(state)) {
    watch.sawBusy = true;
    return;
  }
  // A file that the update lacks is named first; the bus is looked at only without one.
  const std::wstring missing = MissingFilesLineNow(state.found.set);
  const std::wstring line =
      IdleLineText(missing.empty() ? PresenceOf(PresentDevicePaths().size()) : DevicePresence::Unknown, missing);
  const std::wstring text = IdleStatusText(line, watch.lastLine, watch.sawBusy, state.found.updateAllowed);
  watch.lastLine = line;
  watch.sawBusy = false;
  if (text.empty()) return;
  // Through the window, not the cached handle: with no image at all there is none.
  SetDlgItemTextW(state.window, IDC_STATUS, text.c_str());
  LogStatus(text);
}

void NoteWindowBusy(MainWindowState& state) { state.watch.sawBusy = true; }
