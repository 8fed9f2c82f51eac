#include "flash/monitor_rules.h"

MonitorStep DecodeMonitorReport(const StatusReport& report) {
  DecodedReport r = DecodeReport(report);
  switch (r.stage) {
    case DecodedReport::Stage::Format:
      if (r.formatFinished) return {MonitorAction::Progress, kWriteStageStart};
      if (r.failed) return {MonitorAction::FormatFailed, 0};
      return {MonitorAction::Progress, kFormatStageStart + (r.progress / 10) * kFormatStagePerTenth};
    case DecodedReport::Stage::Write: {
      if (r.failed) return {MonitorAction::WriteFailed, 0};
      int value = kWriteStageStart + r.progress / kWriteStagePercentPerStep;
      return {r.stored ? MonitorAction::Stored : MonitorAction::Progress, value};
    }
    case DecodedReport::Stage::None:
      break;
  }
  return {MonitorAction::None, 0};
}

MonitorVerdict MonitorWatch::Observe(const StatusReport& report, uint32_t nowMs) {
  DecodedReport r = DecodeReport(report);
  if (r.stage == DecodedReport::Stage::None) {
    versionReplies_ = r.versionReply ? versionReplies_ + 1 : 0;
    if (flashing_ && versionReplies_ >= kVersionRepliesMeaningRestart) return MonitorVerdict::NotFlashing;
  } else {
    versionReplies_ = 0;
    if (!flashing_ || r.stage != stage_ || r.formatFinished != formatFinished_ || r.progress != progress_) {
      flashing_ = true;
      stage_ = r.stage;
      formatFinished_ = r.formatFinished;
      progress_ = r.progress;
      lastChangeMs_ = nowMs;
      return MonitorVerdict::Continue;
    }
  }
  // Unsigned difference: right across the tick count's wrap.
  return nowMs - lastChangeMs_ >= kMonitorStallTimeoutMs ? MonitorVerdict::Stalled : MonitorVerdict::Continue;
}

size_t ReportTextLength(const StatusReport& report) {
  size_t n = 0;
  while (n < report.size() && report[n] != 0) ++n;
  return n;
}
