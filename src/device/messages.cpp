#include "device/messages.h"

#include <windows.h>

#include "device/discovery.h"
#include "device/pipe_io.h"
#include "util/handle.h"

uint16_t VersionFromReport(const StatusReport& report) {
  if (report[4] != 0x55) return 0;
  return static_cast<uint16_t>(report[6] | (report[7] << 8));
}

CommandPacket BuildCommandPacket(unsigned code) {
  CommandPacket packet;
  packet.fill(0x55);
  packet[0] = static_cast<uint8_t>(code & 0xFF);
  return packet;
}

std::optional<uint16_t> QueryBootVersion() {
  StatusReport report{};
  UniqueHandle pipe(OpenPipe(kStatusPipe));
  DWORD got = 0;
  if (ReadBounded(pipe.get(), report.data(), kStatusReportSize, &got, kStatusReadTimeoutMs) != IoStatus::Ok ||
      got == 0) {
    return std::nullopt;
  }
  return VersionFromReport(report);
}

bool WriteCommandPacket(unsigned code) {
  CommandPacket packet = BuildCommandPacket(code);
  UniqueHandle pipe(OpenPipe(kDataPipe));
  return WriteAll(pipe.get(), packet.data(), kCommandPacketSize, kDataWriteTimeoutMs) == IoStatus::Ok;
}
