// The record layouts alone: decoding a status report and building a command packet,
// with no device in sight.
#include "device/records.h"

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

VersionAnswer JudgeVersionReport(const StatusReport& report, uint32_t got) {
  VersionAnswer a;
  a.bytes = got;
  if (got == 0) return a;  // Lost
  // Bytes that never arrived are not a version, whatever the buffer holds there.
  if (got < kVersionAnswerBytes) {
    a.kind = VersionAnswer::Kind::Partial;
    return a;
  }
  DecodedReport d = DecodeReport(report);
  if (d.stage != DecodedReport::Stage::None) {
    a.kind = VersionAnswer::Kind::Busy;
    return a;
  }
  a.kind = VersionAnswer::Kind::Version;
  a.version = d.version;
  return a;
}

bool ReportIsWhole(const StatusReport& report, uint32_t got) {
  using namespace report_offset;
  switch (static_cast<ReportKind>(report[kKind])) {
    case ReportKind::Format:
      return got > kFormatProgress;
    case ReportKind::Write:
      return got > kWriteProgress;
  }
  return got > kVersionMark;
}

CommandPacket BuildCommandPacket(unsigned code) {
  CommandPacket packet;
  packet.fill(kPacketFill);
  packet[packet_offset::kCode] = static_cast<uint8_t>(code & 0xFF);
  return packet;
}
