// What the idle status line says about the handheld: the pure rule, with no window
// or device in it, so that a table of cases can test it.
#pragma once
#include <windows.h>

#include <cstddef>

// What the last look at the bus found. Unknown: no look yet.
enum class DevicePresence { Unknown, None, One, Several };

// The presence for a number of handhelds in flash mode that opened.
DevicePresence PresenceOf(size_t devices);

// The status line's text for a presence (a string-table id), 0 for Unknown.
UINT PresenceTextId(DevicePresence presence);

// What a look at the bus writes on the idle status line: the id of the text to show,
// or 0 to leave the line as it is.
// - now: what this look found; last: what the last look found (Unknown at start).
// - afterBusy: the first look since the window was busy. Whatever the run left on the
//   line (a failure text, the connection warning's) stays; this look only notes the
//   presence that later looks compare with.
// - mayWrite: false when Update can never be enabled in this run: the line then names
//   why, and nothing overwrites it.
UINT IdleStatusTextId(DevicePresence now, DevicePresence last, bool afterBusy, bool mayWrite);
