#include "app/device_watch_rules.h"

#include "res/resource.h"

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

UINT IdleStatusTextId(DevicePresence now, DevicePresence last, bool afterBusy, bool mayWrite) {
  if (!mayWrite || afterBusy || now == last) return 0;
  return PresenceTextId(now);
}
