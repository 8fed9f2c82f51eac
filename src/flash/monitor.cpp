#include "flash/monitor.h"

#include <windows.h>

#include "device/device_pin.h"
#include "device/discovery.h"
#include "device/messages.h"
#include "device/pipe_io.h"
#include "flash/monitor_rules.h"
#include "util/handle.h"

namespace {

constexpr DWORD kPollIntervalMs = 1000;

void ReportDeviceFailure(FlashEvents& events, const StatusReport& report, FlashFailure::Stage stage) {
  FlashFailure f;
  f.kind = FlashFailure::Kind::DeviceFailed;
  f.deviceStage = stage;
  f.deviceText.assign(reinterpret_cast<const char*>(report.data()), ReportTextLength(report));
  events.Failure(f);
}

void ShowProgressValue(FlashEvents& events, int value) {
  events.Progress(value, false);
  events.StatusPercent(value);
}

}  // namespace

FlashFailure BrokenConnection(DWORD systemError) {
  FlashFailure f;
  f.kind = FlashFailure::Kind::ConnectionBroken;
  f.systemError = systemError;
  return f;
}

bool SendCommandPacket(unsigned code, FlashEvents& events, const DevicePin& device) {
  DWORD error = 0;
  bool written = WriteCommandPacket(code, &error, &device);
  events.CommandPacketWritten(BuildCommandPacket(code), error);
  if (written) return true;
  FlashFailure f;
  f.kind = FlashFailure::Kind::CommandPacketLost;
  f.systemError = error;
  events.Failure(f);
  return false;
}

bool MonitorFlashing(FlashEvents& events, const DevicePin& device) {
  // The latest whole report, kept between polls: a read that brings less than its
  // kind's fields leaves it as it was, so the display and the stall bound go on
  // from it, as after a read of no byte.
  StatusReport report{};
  MonitorWatch watch(GetTickCount());
  for (;;) {
    Sleep(kPollIntervalMs);
    DWORD openError = 0;
    UniqueHandle pipe(OpenDevicePipe(device, kStatusPipe, nullptr, &openError));
    DWORD got = 0;
    StatusReport fresh{};
    IoResult read = pipe.valid() ? ReadBounded(pipe.get(), fresh.data(), kStatusReportSize, &got, kStatusReadTimeoutMs)
                                 : IoResult{IoStatus::Failed, openError};
    if (read == IoStatus::Ok && ReportIsWhole(fresh, got)) report = fresh;
    if (read != IoStatus::Ok) {
      pipe.reset();
      // The status pipe broke: the user is told, only Exit is left, the program ends.
      events.Failure(BrokenConnection(read.error));
      return false;
    }
    events.MonitorReport(got ? fresh : report, got);
    MonitorVerdict verdict = watch.Observe(report, GetTickCount());
    if (verdict != MonitorVerdict::Continue) {
      // A device that stopped flashing without a failure report is as good as gone:
      // the same end as a status read that failed.
      pipe.reset();
      events.Failure(BrokenConnection(verdict == MonitorVerdict::Stalled ? ERROR_TIMEOUT : ERROR_DEVICE_REMOVED));
      return false;
    }
    MonitorStep step = DecodeMonitorReport(report);
    switch (step.action) {
      case MonitorAction::None:
        break;
      case MonitorAction::Progress:
        ShowProgressValue(events, step.value);
        break;
      case MonitorAction::FormatFailed:
        pipe.reset();
        ReportDeviceFailure(events, report, FlashFailure::Stage::Format);
        return false;
      case MonitorAction::WriteFailed:
        pipe.reset();
        ReportDeviceFailure(events, report, FlashFailure::Stage::Write);
        return false;
      case MonitorAction::Stored:
        ShowProgressValue(events, step.value);
        pipe.reset();
        return SendCommandPacket(kCommandRestart, events, device);
    }
  }
}
