#include "flash/monitor.h"

#include <windows.h>

#include <cstring>

#include "app/controls.h"
#include "app/ui_text.h"
#include "device/discovery.h"
#include "device/messages.h"
#include "device/pipe_io.h"
#include "flash/progress.h"
#include "res/resource.h"
#include "util/handle.h"

// "FORMAT" + 失敗 and 下載失敗 in Big5.
const char kFormatFailedCaptionBig5[] = "\x46\x4F\x52\x4D\x41\x54\xA5\xA2\xB1\xD1";
const char kWriteFailedCaptionBig5[] = "\xA4\x55\xB8\xFC\xA5\xA2\xB1\xD1";

namespace {

constexpr DWORD kPollIntervalMs = 1000;
constexpr UINT kBig5CodePage = 950;

// Decoded from Big5 whatever the system code page, so the captions read as written.
std::wstring Big5Caption(const char* bytes) { return DecodeBytes(bytes, std::strlen(bytes), kBig5CodePage); }

void ShowDeviceFailure(const StatusReport& report, const char* captionBig5) {
  std::wstring text = DecodeBytes(reinterpret_cast<const char*>(report.data()), ReportTextLength(report), CP_ACP);
  MessageBoxW(StatusLine(), text.c_str(), Big5Caption(captionBig5).c_str(), MB_OK);
}

void ShowProgressValue(int value) {
  SetProgress(value, false);
  SetStatusText(FormatTextNumber(IDS_PROGRESS, value));
}

// The status pipe broke: tell the user, leave only Exit, end the program.
void EndWithBrokenConnection() {
  std::wstring text = LoadText(IDS_USB_BROKEN);
  ShowError(StatusLine(), text);
  SetStatusText(text);
  SetControlsEnabled(true);
  SetControlsFailed();
  SendMessageW(MainWindow(), WM_DESTROY, 0, 0);
}

}  // namespace

int SendCommandPacket(unsigned code) {
  if (WriteCommandPacket(code)) return 1;
  MessageBoxW(nullptr, LoadText(IDS_PACKET_FAILED).c_str(), LoadText(IDS_CAPTION_START).c_str(), MB_OK);
  return 0;
}

int MonitorFlashing() {
  // Kept between polls: a short report leaves the rest of the previous one in place.
  StatusReport report{};
  for (;;) {
    Sleep(kPollIntervalMs);
    UniqueHandle pipe(OpenPipe(kStatusPipe));
    DWORD got = 0;
    if (ReadBounded(pipe.get(), report.data(), kStatusReportSize, &got, kStatusReadTimeoutMs) != IoStatus::Ok) {
      pipe.reset();
      EndWithBrokenConnection();
      return 0;
    }
    MonitorStep step = DecodeMonitorReport(report);
    switch (step.action) {
      case MonitorAction::None:
        break;
      case MonitorAction::Progress:
        ShowProgressValue(step.value);
        break;
      case MonitorAction::FormatFailed:
        pipe.reset();
        ShowDeviceFailure(report, kFormatFailedCaptionBig5);
        return 0;
      case MonitorAction::WriteFailed:
        pipe.reset();
        ShowDeviceFailure(report, kWriteFailedCaptionBig5);
        return 0;
      case MonitorAction::Stored:
        ShowProgressValue(step.value);
        pipe.reset();
        return SendCommandPacket(kCommandRestart);
    }
  }
}
