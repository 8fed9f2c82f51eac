// The flash monitor's rules, free of any pipe or clock: what a status report means,
// where it puts the bar, and when a device has stopped flashing without saying so.
#pragma once
#include <cstddef>
#include <cstdint>

#include "device/records.h"

// Where the flash monitor's stages sit on the bar: the format stage from 40 (4 per
// tenth of its progress) up to 80, the write stage from 80 (1 per 5 %) up to 100.
constexpr int kFormatStageStart = 40;
constexpr int kFormatStagePerTenth = 4;
constexpr int kWriteStageStart = 80;
constexpr int kWriteStagePercentPerStep = 5;

// What one status report means to the flash monitor.
enum class MonitorAction {
  None,          // a kind that carries nothing: nothing shown, keep polling
  Progress,      // show value, keep polling
  Stored,        // show value, then send the closing command packet
  FormatFailed,  // the device's format failure report
  WriteFailed,   // the device's write failure report
};
struct MonitorStep {
  MonitorAction action;
  int value;
};
MonitorStep DecodeMonitorReport(const StatusReport& report);

// How long the device may go without a sign of progress before the monitor gives up.
// A stage step of the real device takes a few seconds at most (one percent of the
// flash erased or written); thirty seconds of the same report, or of reports that say
// nothing, is a device that no longer flashes, not a slow one.
constexpr uint32_t kMonitorStallTimeoutMs = 30000;

// A device that answers this many polls in a row as it does before an image (a version
// reply) after it had begun formatting or writing has restarted: it was unplugged and
// put back in flash mode between two polls. One such report among progress reports is
// only a report of another kind, and polling goes on.
constexpr int kVersionRepliesMeaningRestart = 3;

// Watches the monitor's reports for the two signs that the device has left its flash
// stages without saying so: no change for kMonitorStallTimeoutMs, or
// kVersionRepliesMeaningRestart version replies in a row once it had begun.
enum class MonitorVerdict {
  Continue,     // keep polling
  Stalled,      // no change for the time-out
  NotFlashing,  // the device answers as if no image had been sent
};
class MonitorWatch {
 public:
  explicit MonitorWatch(uint32_t startMs) : lastChangeMs_(startMs) {}
  // The report just read (as the buffer holds it after the read) at the tick count
  // `nowMs`; tick counts may wrap.
  MonitorVerdict Observe(const StatusReport& report, uint32_t nowMs);

 private:
  uint32_t lastChangeMs_;
  bool flashing_ = false;   // a format or write report has been seen
  int versionReplies_ = 0;  // version replies in a row since then
  DecodedReport::Stage stage_ = DecodedReport::Stage::None;
  bool formatFinished_ = false;
  int progress_ = -1;
};

// The bytes of a failure report shown to the user: from byte 0 up to the first zero
// byte, at most the whole report.
size_t ReportTextLength(const StatusReport& report);
