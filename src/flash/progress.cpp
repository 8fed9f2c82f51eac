#include "flash/progress.h"

TransferSteps ComputeTransferSteps(uint32_t downloadSize) {
  TransferSteps steps;
  steps.percentStep = downloadSize / 100;
  if (steps.percentStep == 0) steps.percentStep = 1;
  steps.transferStep = downloadSize / 35;
  return steps;
}

ChunkDisplay DisplayAfterChunk(uint32_t downloadSize, uint64_t offsetAfter, const TransferSteps& steps) {
  ChunkDisplay d{false, 0, 0};
  uint64_t quotient = offsetAfter / steps.percentStep;
  if ((quotient & 1) == 0) return d;
  d.update = true;
  // Below 35 bytes there is no transfer step; such an image never reaches an odd
  // quotient (one chunk, percent step 1), but never divide by zero regardless.
  uint64_t byTransferStep = steps.transferStep ? offsetAfter / steps.transferStep : 0;
  d.bar = static_cast<int>(downloadSize > kLargeImageThreshold ? byTransferStep : quotient);
  d.status = static_cast<int>(byTransferStep);
  return d;
}

MonitorStep DecodeMonitorReport(const StatusReport& report) {
  switch (report[0]) {
    case 0x20:  // format report
      if (report[1] == 0x55) return {MonitorAction::Progress, 80};  // finished beats failed
      if (report[2] == 0x7F) return {MonitorAction::FormatFailed, 0};
      return {MonitorAction::Progress, 40 + (report[2] / 10) * 4};
    case 0x40: {  // write report
      if (report[3] == 0x7F) return {MonitorAction::WriteFailed, 0};
      int value = 80 + report[3] / 5;
      return {report[3] == 100 ? MonitorAction::Stored : MonitorAction::Progress, value};
    }
    default:
      return {MonitorAction::None, 0};
  }
}

size_t ReportTextLength(const StatusReport& report) {
  size_t n = 0;
  while (n < report.size() && report[n] != 0) ++n;
  return n;
}
