#include "device/messages.h"

#include "device/discovery.h"
#include "device/error.h"
#include "device/pipe_io.h"
#include "util/handle.h"

DecodedReport DecodeReport(const StatusReport& report) {
  using namespace report_offset;
  DecodedReport d;
  d.versionReply = report[kVersionMark] == kVersionReplyMark;
  if (d.versionReply) d.version = static_cast<uint16_t>(report[kVersionLow] | (report[kVersionHigh] << 8));
  switch (static_cast<ReportKind>(report[kKind])) {
    case ReportKind::Format:
      d.stage = DecodedReport::Stage::Format;
      d.formatFinished = report[kFormatFinished] == kFinishedMark;
      d.progress = report[kFormatProgress];
      // The finished mark wins over a failure code in the same report.
      d.failed = !d.formatFinished && d.progress == kFailedMark;
      break;
    case ReportKind::Write:
      d.stage = DecodedReport::Stage::Write;
      d.progress = report[kWriteProgress];
      d.failed = d.progress == kFailedMark;
      d.stored = d.progress == kStoredProgress;
      break;
  }
  return d;
}

uint16_t VersionFromReport(const StatusReport& report) { return DecodeReport(report).version; }

CommandPacket BuildCommandPacket(unsigned code) {
  CommandPacket packet;
  packet.fill(kPacketFill);
  packet[packet_offset::kCode] = static_cast<uint8_t>(code & 0xFF);
  return packet;
}

std::optional<uint16_t> QueryBootVersion(DWORD* error) {
  StatusReport report{};
  DWORD openError = 0;
  UniqueHandle pipe(OpenPipe(kStatusPipe, &openError));
  if (!pipe.valid()) {
    KeepError(error, openError);
    return std::nullopt;
  }
  DWORD got = 0;
  IoResult read = ReadBounded(pipe.get(), report.data(), kStatusReportSize, &got, kStatusReadTimeoutMs);
  KeepError(error, read.error);
  if (read != IoStatus::Ok) return std::nullopt;
  if (got == 0) {
    // A read that delivered no byte brought no report: no answer either.
    KeepError(error, ERROR_HANDLE_EOF);
    return std::nullopt;
  }
  return VersionFromReport(report);
}

bool WriteCommandPacket(unsigned code, DWORD* error) {
  CommandPacket packet = BuildCommandPacket(code);
  DWORD openError = 0;
  UniqueHandle pipe(OpenPipe(kDataPipe, &openError));
  if (!pipe.valid()) {
    KeepError(error, openError);
    return false;
  }
  IoResult write = WriteAll(pipe.get(), packet.data(), kCommandPacketSize, kDataWriteTimeoutMs);
  KeepError(error, write.error);
  return write == IoStatus::Ok;
}
