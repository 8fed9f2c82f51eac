#include "app/device_watch.h"

#include <dbt.h>

#include <string>

#include "app/controls.h"
#include "app/device_watch_rules.h"
#include "app/flash_log.h"
#include "device/discovery.h"
#include "text/text.h"

namespace {}  // namespace

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
  const DevicePresence now = PresenceOf(PresentDevicePaths().size());
  const UINT textId = IdleStatusTextId(now, watch.last, watch.sawBusy, state.found.updateAllowed);
  watch.last = now;
  watch.sawBusy = false;
  if (!textId) return;
  ShowStatus(state, LoadText(textId));
}
