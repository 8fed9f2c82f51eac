#include "app/way_back_rules.h"

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
