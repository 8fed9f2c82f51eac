#include "app/way_back_rules.h"

#include <cwchar>

#include "res/resource.h"
#include "text/text.h"

namespace {

constexpr uint64_t kBytesPerMegabyte = 1000000;
constexpr wchar_t kShownForControl = L'\u00B7';

bool IsControlByte(unsigned char b) { return b < 0x20 || b == 0x7F; }

std::wstring HexByte(unsigned char b) {
  const wchar_t digits[] = L"0123456789ABCDEF";
  return std::wstring(1, digits[b >> 4]) + digits[b & 0xF];
}

// Runs of printable bytes decoded as the device's box decodes them; each control byte
// as `control` gives it.
template <typename Control>
std::wstring DeviceText(const std::string& bytes, Control control) {
  std::wstring out;
  size_t runStart = 0;
  for (size_t i = 0; i <= bytes.size(); ++i) {
    if (i < bytes.size() && !IsControlByte(static_cast<unsigned char>(bytes[i]))) continue;
    if (i > runStart) out += DecodeBytes(bytes.data() + runStart, i - runStart, CP_ACP);
    if (i < bytes.size()) out += control(static_cast<unsigned char>(bytes[i]));
    runStart = i + 1;
  }
  return out;
}

}  // namespace

bool StageOfReport(const StatusReport& report, DWORD bytesRead, DeviceStageSeen* seen) {
  if (bytesRead > 0 && !ReportIsWhole(report, bytesRead)) return false;
  const DecodedReport d = DecodeReport(report);
  if (d.failed) return false;
  const int percent = d.progress > 100 ? 100 : d.progress;
  switch (d.stage) {
    case DecodedReport::Stage::Format:
      *seen = {DeviceStageSeen::Stage::Format, d.formatFinished ? 100 : percent};
      return true;
    case DecodedReport::Stage::Write:
      *seen = d.stored ? DeviceStageSeen{DeviceStageSeen::Stage::Stored, 100}
                       : DeviceStageSeen{DeviceStageSeen::Stage::Write, percent};
      return true;
    case DecodedReport::Stage::None:
      break;
  }
  return false;
}

bool ShowsWayBack(FlashFailure::Kind kind, Phase phase) {
  const bool afterPipeOpened = phase == Phase::Connecting || phase == Phase::Transfer || phase == Phase::Monitor;
  const bool deviceMayHoldPart = kind == FlashFailure::Kind::ConnectionBroken ||
                                 kind == FlashFailure::Kind::DeviceFailed ||
                                 kind == FlashFailure::Kind::CommandPacketLost;
  return afterPipeOpened && deviceMayHoldPart;
}

std::wstring MegabytesText(uint64_t bytes, bool down) {
  const uint64_t tenths = (bytes + (down ? 0 : kBytesPerMegabyte / 20)) / (kBytesPerMegabyte / 10);
  return std::to_wstring(tenths / 10) + L"," + std::to_wstring(tenths % 10);
}

std::wstring BytesText(uint64_t bytes) {
  std::wstring digits = std::to_wstring(bytes), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += L'.';
    out += digits[i];
  }
  return out;
}

std::wstring SentText(uint64_t sent, uint32_t size) {
  const std::wstring total = MegabytesText(size, false);
  // All of it: the same figure as the whole, however it rounds.
  const std::wstring part = sent >= size ? total : MegabytesText(sent, true);
  const std::wstring texts[] = {part, total, BytesText(sent), BytesText(size)};
  return FormatText(LoadText(IDS_WAYBACK_SENT), texts, 4, nullptr, 0);
}

UINT StageTextId(DeviceStageSeen::Stage stage) {
  switch (stage) {
    case DeviceStageSeen::Stage::Format:
      return IDS_WAYBACK_STAGE_FORMAT;
    case DeviceStageSeen::Stage::Write:
      return IDS_WAYBACK_STAGE_WRITE;
    case DeviceStageSeen::Stage::Stored:
      return IDS_WAYBACK_STAGE_STORED;
    case DeviceStageSeen::Stage::None:
      break;
  }
  return IDS_WAYBACK_STAGE_NONE;
}

std::wstring StageText(const DeviceStageSeen& seen) { return FormatTextNumber(StageTextId(seen.stage), seen.percent); }

UINT HoldsTextId(const FlashSeen& seen) {
  switch (seen.stage.stage) {
    case DeviceStageSeen::Stage::Format:
      return IDS_WAYBACK_HOLDS_FORMAT;
    case DeviceStageSeen::Stage::Write:
      return IDS_WAYBACK_HOLDS_WRITE;
    case DeviceStageSeen::Stage::Stored:
      return IDS_WAYBACK_HOLDS_STORED;
    case DeviceStageSeen::Stage::None:
      break;
  }
  return seen.imageSize > 0 && seen.bytesSent >= seen.imageSize ? IDS_WAYBACK_HOLDS_SENT : IDS_WAYBACK_HOLDS_PART;
}

std::wstring ReadableDeviceText(const std::string& bytes) {
  return DeviceText(bytes, [](unsigned char) { return std::wstring(1, kShownForControl); });
}

std::wstring LoggedDeviceText(const std::string& bytes) {
  return DeviceText(bytes, [](unsigned char b) { return L"<" + HexByte(b) + L">"; });
}

std::wstring WayBackText(const FlashSeen& seen, const FlashFailure& failure, const std::wstring& logPath) {
  const std::wstring nl = L"\r\n";
  std::wstring text =
      FormatTextString(seen.image == ImageKind::Boot ? IDS_WAYBACK_IMAGE_BOOT : IDS_WAYBACK_IMAGE_OS, seen.imageName);
  text += nl + SentText(seen.bytesSent, seen.imageSize);
  text += nl + StageText(seen.stage);
  if (failure.kind == FlashFailure::Kind::DeviceFailed)
    text += nl + FormatTextString(IDS_WAYBACK_DEVICE_TEXT, ReadableDeviceText(failure.deviceText));
  text += nl + nl + LoadText(HoldsTextId(seen));
  text += nl + nl +
          LoadText(seen.stage.stage == DeviceStageSeen::Stage::Stored ? IDS_WAYBACK_STEPS_STORED : IDS_WAYBACK_STEPS);
  text += nl + nl + (logPath.empty() ? LoadText(IDS_WAYBACK_LOG_MEMORY) : FormatTextString(IDS_WAYBACK_LOG, logPath));
  return text;
}

FlashSeen SeenOfRun(const LastRun& run) {
  FlashSeen seen;
  seen.image = run.image;
  seen.imageName = run.imageName;
  seen.imageSize = run.imageSize > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(run.imageSize);
  seen.bytesSent = run.bytesSent;
  switch (run.lastStage.kind) {
    case DeviceStage::Kind::Format:
      seen.stage = {DeviceStageSeen::Stage::Format, run.lastStage.percent};
      break;
    case DeviceStage::Kind::Write:
      seen.stage = run.lastStage.finished ? DeviceStageSeen{DeviceStageSeen::Stage::Stored, 100}
                                          : DeviceStageSeen{DeviceStageSeen::Stage::Write, run.lastStage.percent};
      break;
    case DeviceStage::Kind::None:
      break;
  }
  return seen;
}

std::wstring LastRunNoticeText(const LastRun& run, const std::wstring& logPath) {
  const std::wstring nl = L"\r\n";
  const FlashSeen seen = SeenOfRun(run);
  const SYSTEMTIME& t = run.started;
  wchar_t date[16], time[8];
  std::swprintf(date, 16, L"%02u.%02u.%04u", t.wDay, t.wMonth, t.wYear);
  std::swprintf(time, 8, L"%02u:%02u", t.wHour, t.wMinute);
  const std::wstring when[] = {date, time};
  std::wstring text = FormatText(
      LoadText(run.closed && run.outcome.kind == RunOutcome::Kind::Failed ? IDS_LASTRUN_FAILED : IDS_LASTRUN_KILLED),
      when, 2, nullptr, 0);
  text +=
      nl + nl +
      FormatTextString(seen.image == ImageKind::Boot ? IDS_WAYBACK_IMAGE_BOOT : IDS_WAYBACK_IMAGE_OS, seen.imageName);
  // A killed run's log has the bytes only as the status line's last percentage: at
  // least that many went out, perhaps more.
  if (seen.imageSize == 0) {
    text += nl + LoadText(IDS_LASTRUN_SENT_UNKNOWN);
  } else if (run.bytesExact) {
    text += nl + SentText(seen.bytesSent, seen.imageSize);
  } else {
    const std::wstring texts[] = {MegabytesText(seen.bytesSent, true), MegabytesText(seen.imageSize, false),
                                  BytesText(seen.bytesSent), BytesText(seen.imageSize)};
    text += nl + FormatText(LoadText(IDS_LASTRUN_SENT_AT_LEAST), texts, 4, nullptr, 0);
  }
  text += nl + StageText(seen.stage);
  const bool unknownHowFar = seen.stage.stage == DeviceStageSeen::Stage::None && !run.bytesExact;
  text += nl + nl + LoadText(unknownHowFar ? IDS_LASTRUN_HOLDS_UNKNOWN : HoldsTextId(seen));
  text += nl + nl +
          LoadText(seen.stage.stage == DeviceStageSeen::Stage::Stored ? IDS_LASTRUN_STEPS_STORED : IDS_LASTRUN_STEPS);
  text += nl + nl + FormatTextString(IDS_LASTRUN_LOG, logPath);
  return text;
}
