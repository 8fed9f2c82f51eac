// Status reports as a device could send them, read after read into one buffer that a
// short read only partly overwrites: the decoders, the monitor's watch and the failure
// text must hold their ranges on any bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/records.h"
#include "flash/monitor_rules.h"

#define CHECK(cond)                                      \
  do {                                                   \
    if (!(cond)) {                                       \
      std::fprintf(stderr, "check failed: %s\n", #cond); \
      std::abort();                                      \
    }                                                    \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StatusReport report{};
  const uint32_t start = size ? 0xFFFF0000u + data[0] * 4096u : 0;  // also across the tick count's wrap
  MonitorWatch watch(start);
  uint32_t now = start;
  bool seenStage = false;
  int versionRepliesInARow = 0;
  size_t at = 1;
  while (at + 2 <= size) {
    size_t delivered = data[at] % (kStatusReportSize + 1);
    now += data[at + 1] * 1000u;
    at += 2;
    size_t n = delivered < size - at ? delivered : size - at;
    std::memcpy(report.data(), data + at, n);
    at += n;

    // Bytes that never arrived are not a version; a whole report is judged by its bytes.
    VersionAnswer answer = JudgeVersionReport(report, static_cast<uint32_t>(n));
    CHECK(n >= kVersionAnswerBytes || !answer.IsAnswer());
    CHECK(answer.kind != VersionAnswer::Kind::Version || answer.version == VersionFromReport(report));
    CHECK(!ReportIsWhole(report, static_cast<uint32_t>(n)) || n > 2);

    DecodedReport d = DecodeReport(report);
    CHECK(d.versionReply == (report[report_offset::kVersionMark] == kVersionReplyMark));
    CHECK(d.version == (d.versionReply ? report[6] | report[7] << 8 : 0));
    CHECK(VersionFromReport(report) == d.version);
    CHECK(d.progress >= 0 && d.progress <= 255);
    CHECK(!(d.stored && d.failed));

    MonitorStep step = DecodeMonitorReport(report);
    CHECK(step.value >= 0);
    switch (step.action) {
      case MonitorAction::None:
        CHECK(report[0] != 0x20 && report[0] != 0x40);
        break;
      case MonitorAction::Progress:
        // A progress byte above 100 reaches past 100 (the window caps the bar), never further
        // than its 255 can take it in either stage.
        CHECK(step.value >= kFormatStageStart);
        CHECK(step.value <= kFormatStageStart + 25 * kFormatStagePerTenth);
        CHECK(step.value <= kWriteStageStart + 255 / kWriteStagePercentPerStep || report[0] == 0x20);
        break;
      case MonitorAction::Stored:
        CHECK(report[0] == 0x40 && report[3] == 100 && step.value == 100);
        break;
      case MonitorAction::FormatFailed:
        CHECK(report[0] == 0x20 && report[2] == 0x7F && report[1] != 0x55);
        break;
      case MonitorAction::WriteFailed:
        CHECK(report[0] == 0x40 && report[3] == 0x7F);
        break;
    }

    // The failure text: everything up to the first zero byte, never past the report.
    size_t len = ReportTextLength(report);
    CHECK(len <= kStatusReportSize);
    CHECK(std::memchr(report.data(), 0, len) == nullptr);
    CHECK(len == kStatusReportSize || report[len] == 0);

    versionRepliesInARow = d.stage == DecodedReport::Stage::None && d.versionReply ? versionRepliesInARow + 1 : 0;
    MonitorVerdict v = watch.Observe(report, now);
    CHECK(v != MonitorVerdict::NotFlashing || (seenStage && versionRepliesInARow >= kVersionRepliesMeaningRestart));
    CHECK(v != MonitorVerdict::Stalled || now - start >= kMonitorStallTimeoutMs);
    if (d.stage != DecodedReport::Stage::None) seenStage = true;
  }
  if (size >= 4) {
    unsigned code = data[0] | data[1] << 8 | data[2] << 16 | static_cast<unsigned>(data[3]) << 24;
    CommandPacket p = BuildCommandPacket(code);
    CHECK(p[0] == (code & 0xFF));
    for (size_t i = 1; i < p.size(); ++i) CHECK(p[i] == kPacketFill);
  }
  return 0;
}
