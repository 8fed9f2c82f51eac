// What the idle status line says about the handheld and the files an update needs:
// the pure rules, with no window or device in them, so that tables of cases test them.
#pragma once
#include <windows.h>

#include <cstddef>
#include <string>

// What the last look at the bus found. Unknown: no look yet.
enum class DevicePresence { Unknown, None, One, Several };

// The presence for a number of handhelds in flash mode that opened.
DevicePresence PresenceOf(size_t devices);

// The status line's text for a presence (a string-table id), 0 for Unknown.
UINT PresenceTextId(DevicePresence presence);

// What the idle line says now: the files an update lacks (`missing`, "" when none;
// see MissingFilesLine) come first, since Update cannot work without them; else
// whether a handheld is connected. After a run that wrote the boot loader
// (`stepTwo`), the line for one handheld or none names the second step, the
// operating system.
std::wstring IdleLineText(DevicePresence presence, const std::wstring& missing, bool stepTwo = false);

// What a look writes on the idle status line: the text to show, or "" to leave the
// line as it is.
// - now: what the line says after this look (IdleLineText); last: what it said after
//   the last look ("" at start). The line changes only when that changes.
// - afterBusy: the first look since the window was busy. Whatever the run left on the
//   line (a failure text, the connection warning's) stays; this look only notes what
//   later looks compare with.
// - mayWrite: false when Update can never be enabled in this run: the line then names
//   why, and nothing overwrites it.
std::wstring IdleStatusText(const std::wstring& now, const std::wstring& last, bool afterBusy, bool mayWrite);
