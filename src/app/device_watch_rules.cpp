#include "app/device_watch_rules.h"

#include "res/resource.h"
#include "text/text.h"

DevicePresence PresenceOf(size_t devices) {
  if (devices == 0) return DevicePresence::None;
  return devices == 1 ? DevicePresence::One : DevicePresence::Several;
}

UINT PresenceTextId(DevicePresence presence) {
  switch (presence) {
    case DevicePresence::None:
      return IDS_IDLE_NO_DEVICE;
    case DevicePresence::One:
      return IDS_IDLE_DEVICE;
    case DevicePresence::Several:
      return IDS_IDLE_SEVERAL_DEVICES;
    case DevicePresence::Unknown:
      break;
  }
  return 0;
}

std::wstring IdleLineText(DevicePresence presence, const std::wstring& missing, bool stepTwo) {
  if (!missing.empty()) return missing;
  UINT id = PresenceTextId(presence);
  if (stepTwo && presence == DevicePresence::One) id = IDS_IDLE_DEVICE_STEP2;
  if (stepTwo && presence == DevicePresence::None) id = IDS_IDLE_NO_DEVICE_STEP2;
  return id ? LoadText(id) : std::wstring();
}

std::wstring IdleStatusText(const std::wstring& now, const std::wstring& last, bool afterBusy, bool mayWrite) {
  if (!mayWrite || afterBusy || now == last) return std::wstring();
  return now;
}
