#include "app/device_watch.h"

#include <dbt.h>

#include <string>

#include "app/controls.h"
#include "app/device_watch_rules.h"
#include "app/flash_log.h"
#include "app/last_run.h"
#include "app/status_texts.h"
#include "device/discovery.h"
#include "text/text.h"

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
  if (IsBusy(state.phase)) {
    watch.sawBusy = true;
    return;
  }
  // A file that the update lacks is named first; the bus is looked at only without one.
  const std::wstring missing = MissingFilesLineNow(state.found.set);
  const std::wstring line =
      IdleLineText(missing.empty() ? PresenceOf(PresentDevicePaths().size()) : DevicePresence::Unknown, missing,
                   state.earlier.found && WroteBootLoader(state.earlier.run));
  const std::wstring text = IdleStatusText(line, watch.lastLine, watch.sawBusy, state.found.updateAllowed);
  watch.lastLine = line;
  watch.sawBusy = false;
  if (text.empty()) return;
  // ShowStatus reaches the status line also with no image at all (no cached handle).
  ShowStatus(state, text);
}
