#include "device/messages.h"

#include "device/discovery.h"
#include "device/error.h"
#include "device/pipe_io.h"
#include "util/handle.h"

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
