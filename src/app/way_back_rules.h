// What the window after a failed flash says, free of any window: which failures get
// it, the stage the device last reported, the amounts sent, and the device's own
// failure text made readable. The window (way_back.*) shows what these give.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "app/last_run.h"
#include "app/phase.h"
#include "device/records.h"
#include "flash/events.h"
#include "images/image_header.h"

// The last stage the device reported while it formatted and wrote the image.
struct DeviceStageSeen {
  enum class Stage { None, Format, Write, Stored } stage = Stage::None;
  int percent = 0;  // Format and Write: 0..100
  bool operator==(const DeviceStageSeen& o) const { return stage == o.stage && percent == o.percent; }
};

// The stage a report read by the monitor shows; false for a report that shows none
// (too short for its kind, another kind, a failure report: its bytes are text).
bool StageOfReport(const StatusReport& report, DWORD bytesRead, DeviceStageSeen* seen);

// What the running update saw of its image and the device: what the window says after
// a failure. Reset when an update starts.
struct FlashSeen {
  ImageKind image = ImageKind::Unknown;
  std::wstring imageName;
  uint32_t imageSize = 0;  // as read, which is what a started download sends
  uint64_t bytesSent = 0;  // as the transfer ended
  DeviceStageSeen stage;
};

// Whether a failure gets the window: the ones that come once the data pipe was opened
// for the image (`phase` as it was when the failure came), when the device may hold
// part of it.
bool ShowsWayBack(FlashFailure::Kind kind, Phase phase);

// Megabytes of 1 000 000 bytes with one decimal and a decimal comma ("1,2"); rounded
// down when `down`, else to the nearest.
std::wstring MegabytesText(uint64_t bytes, bool down);
// A byte count with points between thousands ("300.007").
std::wstring BytesText(uint64_t bytes);
// "0,1 von 0,3 MB übertragen (98.304 von 300.007 Byte)." The part sent is rounded
// down, so that it never says more went out than did.
std::wstring SentText(uint64_t sent, uint32_t size);
// The string-table id of the stage's line.
UINT StageTextId(DeviceStageSeen::Stage stage);
std::wstring StageText(const DeviceStageSeen& seen);
// What the handheld may hold after what the program saw: the string-table id.
UINT HoldsTextId(const FlashSeen& seen);

// The device's failure text for the eye: every byte below 0x20 and 0x7F as "·", the
// rest decoded from the system code page, as the device's own box decodes it.
std::wstring ReadableDeviceText(const std::string& bytes);
// The same bytes for the log: control bytes as <hex>, e.g. "AB<01>C".
std::wstring LoggedDeviceText(const std::string& bytes);

// The window's whole text: image, amounts, stage, the device's text (a device failure),
// what the handheld may hold, the next steps, the log.
std::wstring WayBackText(const FlashSeen& seen, const FlashFailure& failure, const std::wstring& logPath);

// What an earlier run's log recorded, as the window after a failure sees a run: its
// image, the bytes sent and the device's last stage.
FlashSeen SeenOfRun(const LastRun& run);

// The notice at the next start about an earlier run that ended mid-flash (see
// EndedMidFlash): when it ran and how it ended, the image, how far it got as its log
// recorded it, what the handheld may hold, the next steps and that run's log.
std::wstring LastRunNoticeText(const LastRun& run, const std::wstring& logPath);
