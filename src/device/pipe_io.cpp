#include "device/pipe_io.h"

#include "device/error.h"
#include "util/handle.h"
#include "util/windows_compat.h"

namespace {

enum class Direction { Read, Write };

IoResult Failed(DWORD error) { return {IoStatus::Failed, Cause(error)}; }

IoResult Transfer(Direction direction, HANDLE pipe, void* buffer, DWORD length, DWORD* done, DWORD timeoutMs,
                  HANDLE event, HANDLE stop) {
  *done = 0;
  if (pipe == INVALID_HANDLE_VALUE || pipe == nullptr) return Failed(ERROR_INVALID_HANDLE);
  UniqueHandle ownEvent;
  if (!event) {
    ownEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ownEvent.valid()) return Failed(GetLastError());
    event = ownEvent.get();
  }
  OVERLAPPED ov{};
  ov.hEvent = event;
  BOOL ok = direction == Direction::Read ? ReadFile(pipe, buffer, length, nullptr, &ov)
                                         : WriteFile(pipe, buffer, length, nullptr, &ov);
  if (!ok && GetLastError() != ERROR_IO_PENDING) return Failed(GetLastError());
  bool timedOut = false, stopped = false;
  // A request that completed at once needs no wait (the common case for a device
  // that keeps up); only a pending one is waited for, within the time-out.
  if (!ok) {
    DWORD woke = WaitOrStop(ov.hEvent, stop, timeoutMs);
    if (woke != WAIT_OBJECT_0) {
      CancelRequest(pipe, &ov);
      stopped = woke == WAIT_OBJECT_0 + 1;
      timedOut = !stopped;
    }
  }
  // Wait for the request to finish (or be cancelled) before its buffer and OVERLAPPED go.
  DWORD n = 0;
  if (!GetOverlappedResult(pipe, &ov, &n, TRUE)) {
    DWORD error = GetLastError();
    // The cancel's own "aborted" says less than the time-out that caused it.
    if (timedOut) return {IoStatus::TimedOut, ERROR_TIMEOUT};
    if (stopped) return {IoStatus::Stopped, ERROR_CANCELLED};
    return Failed(error);
  }
  *done = n;
  // A request that completed in the very moment we gave up still counts.
  return {};
}

}  // namespace

DWORD WaitOrStop(HANDLE event, HANDLE stop, DWORD timeoutMs) {
  if (!stop) return WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  // The stop first: of two set at once, WaitForMultipleObjects names the lower index.
  const HANDLE both[] = {stop, event};
  switch (WaitForMultipleObjects(2, both, FALSE, timeoutMs)) {
    case WAIT_OBJECT_0:
      return WAIT_OBJECT_0 + 1;
    case WAIT_OBJECT_0 + 1:
      return WAIT_OBJECT_0;
    default:
      return WAIT_TIMEOUT;
  }
}

IoResult ReadBounded(HANDLE pipe, void* buffer, DWORD length, DWORD* got, DWORD timeoutMs, HANDLE event, HANDLE stop) {
  return Transfer(Direction::Read, pipe, buffer, length, got, timeoutMs, event, stop);
}

IoResult WriteBounded(HANDLE pipe, const void* buffer, DWORD length, DWORD* written, DWORD timeoutMs, HANDLE event) {
  return Transfer(Direction::Write, pipe, const_cast<void*>(buffer), length, written, timeoutMs, event, nullptr);
}

IoResult WriteAll(HANDLE pipe, const void* buffer, DWORD length, DWORD timeoutMs, HANDLE event) {
  const char* p = static_cast<const char*>(buffer);
  DWORD left = length;
  do {
    DWORD written = 0;
    IoResult result = WriteBounded(pipe, p, left, &written, timeoutMs, event);
    if (result != IoStatus::Ok) return result;
    // A device that accepts nothing makes no progress: that is a broken link.
    if (written == 0 && left > 0) return Failed(ERROR_WRITE_FAULT);
    if (written > left) written = left;
    p += written;
    left -= written;
  } while (left > 0);
  return {};
}
