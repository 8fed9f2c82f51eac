#include "device/messages.h"

#include "device/device_pin.h"
#include "device/discovery.h"
#include "device/error.h"
#include "device/pipe_io.h"
#include "util/handle.h"

VersionAnswer QueryBootVersion(DWORD* error, DevicePin* pin, HANDLE stop) {
  StatusReport report{};
  DWORD openError = 0;
  DevicePin firstPresent;
  std::string device;
  UniqueHandle pipe(OpenDevicePipe(pin ? *pin : firstPresent, kStatusPipe, &device, &openError));
  if (!pipe.valid()) {
    KeepError(error, openError);
    return VersionAnswer{};
  }
  DWORD got = 0;
  IoResult read = ReadBounded(pipe.get(), report.data(), kStatusReportSize, &got, kStatusReadTimeoutMs, nullptr, stop);
  KeepError(error, read.error);
  if (read != IoStatus::Ok) return VersionAnswer{};
  // A read that delivered no byte brought no report: no answer either.
  if (got == 0) KeepError(error, ERROR_HANDLE_EOF);
  VersionAnswer answer = JudgeVersionReport(report, got);
  if (answer.IsAnswer() && pin) pin->Pin(device);
  return answer;
}

bool WriteCommandPacket(unsigned code, DWORD* error, const DevicePin* pin) {
  CommandPacket packet = BuildCommandPacket(code);
  DWORD openError = 0;
  DevicePin firstPresent;
  UniqueHandle pipe(OpenDevicePipe(pin ? *pin : firstPresent, kDataPipe, nullptr, &openError));
  if (!pipe.valid()) {
    KeepError(error, openError);
    return false;
  }
  IoResult write = WriteAll(pipe.get(), packet.data(), kCommandPacketSize, kDataWriteTimeoutMs);
  KeepError(error, write.error);
  return write == IoStatus::Ok;
}
