// The two records exchanged with the handheld, as bytes: the 128-byte status report
// read from the status pipe and the 32-byte command packet written to the data pipe.
// No system header: the native fuzz build decodes with exactly this code.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

constexpr size_t kStatusReportSize = 128;
constexpr size_t kCommandPacketSize = 32;

using StatusReport = std::array<uint8_t, kStatusReportSize>;
using CommandPacket = std::array<uint8_t, kCommandPacketSize>;

// Status report layout: byte offsets. Every field is one unsigned byte; bytes 8 on
// carry no field (a failure report is text from byte 0 on).
namespace report_offset {
constexpr size_t kKind = 0;            // what the report is about (ReportKind)
constexpr size_t kFormatFinished = 1;  // format report: kFinishedMark when the stage is done
constexpr size_t kFormatProgress = 2;  // format report: 0..100, or kFailedMark
constexpr size_t kWriteProgress = 3;   // write report: 0..100 (kStoredProgress: done), or kFailedMark
constexpr size_t kVersionMark = 4;     // kVersionReplyMark in a version reply
constexpr size_t kVersionLow = 6;      // version reply: boot-loader version, low byte
constexpr size_t kVersionHigh = 7;     // version reply: high byte
}  // namespace report_offset

enum class ReportKind : uint8_t {
  Format = 0x20,  // the device is formatting
  Write = 0x40,   // the device is storing the received image
};
constexpr uint8_t kFinishedMark = 0x55;      // format stage finished
constexpr uint8_t kFailedMark = 0x7F;        // a stage failed
constexpr uint8_t kStoredProgress = 100;     // write stage finished: the image is stored
constexpr uint8_t kVersionReplyMark = 0x55;  // 'U': the report answers the version question

// What a report says, decoded field by field. Everything starts from "nothing
// said": a kind the program does not know leaves every field at its default.
struct DecodedReport {
  enum class Stage { None, Format, Write } stage = Stage::None;
  bool formatFinished = false;
  bool failed = false;  // the report's stage failed
  int progress = 0;     // the stage's progress byte, 0..255
  bool stored = false;  // write stage: the image is stored
  bool versionReply = false;
  uint16_t version = 0;  // version reply: the boot-loader version word
};
DecodedReport DecodeReport(const StatusReport& report);

// Command packet layout: the code's low 8 bits, then fill bytes.
namespace packet_offset {
constexpr size_t kCode = 0;
}  // namespace packet_offset
constexpr uint8_t kPacketFill = 0x55;
// The one command the program sends, once the image is stored: the device restarts.
constexpr unsigned kCommandRestart = 100;

// The boot-loader version word of a version reply, 0 for any other report.
uint16_t VersionFromReport(const StatusReport& report);
// The command code's low 8 bits followed by 31 fill bytes.
CommandPacket BuildCommandPacket(unsigned code);

// Bytes a report must bring before the version query may judge it: every byte the
// decision reads (kind, version mark, both version bytes).
constexpr size_t kVersionAnswerBytes = report_offset::kVersionHigh + 1;

// What one read of the status pipe tells the version query.
struct VersionAnswer {
  enum class Kind {
    Lost,     // no report came (no device, pipe error, time-out, no byte)
    Partial,  // a report too short to judge: counts like a lost read
    Busy,     // a format or write report: the device is still at an earlier flash
    Version,  // a whole report: `version` (0 for a report without the version mark)
  } kind = Kind::Lost;
  uint16_t version = 0;
  uint32_t bytes = 0;  // what the read delivered
  bool IsAnswer() const { return kind == Kind::Busy || kind == Kind::Version; }
};
// Judges a report of which `got` bytes arrived (the rest of `report` is not looked at).
VersionAnswer JudgeVersionReport(const StatusReport& report, uint32_t got);

// Whether `got` bytes bring every field that the report's kind carries for the
// flash monitor: kind and progress of a format or write report, the version mark of
// any other (it tells a restarted device).
bool ReportIsWhole(const StatusReport& report, uint32_t got);
