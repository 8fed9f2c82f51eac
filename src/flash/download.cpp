#include "flash/download.h"

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "device/device_pin.h"
#include "device/discovery.h"
#include "device/pipe_io.h"
#include "flash/image_load.h"
#include "flash/monitor.h"
#include "flash/progress.h"
#include "images/checksum_file.h"
#include "images/image_header.h"
#include "images/sha256.h"
#include "util/handle.h"
#include "util/paths.h"

namespace {

// Everything one download needs. StartDownload fills it on the calling thread and
// hands it to the worker whole; from then on only the worker touches it.
struct Download {
  std::shared_ptr<FlashEvents> events;
  ImageKind kind = ImageKind::Unknown;
  UniqueHandle dataChannel;
  DevicePin device;  // the one device of this run
  std::unique_ptr<uint8_t[]> image;
  uint32_t size = 0;
};

std::atomic<bool> g_downloadRunning{false};

constexpr DWORD kClosingPauseMs = 1000;

// The way is free again before the window hears of a refusal. Always false: nothing
// was started.
bool Refuse(FlashEvents& events, FlashFailure::Kind kind, const std::wstring& imageName, DWORD systemError) {
  g_downloadRunning = false;
  FlashFailure f;
  f.kind = kind;
  f.imageName = imageName;
  f.systemError = systemError;
  events.Failure(f);
  return false;
}

void Finish(FlashEvents& events) {
  g_downloadRunning = false;
  events.Done();
}

DWORD WINAPI DownloadWorker(void* parameter) {
  std::unique_ptr<Download> d(static_cast<Download*>(parameter));
  FlashEvents& events = *d->events;
  const TransferSteps steps = ComputeTransferSteps(d->size);
  uint64_t offset = 0;  // 64 bits: the offset overshoots the size by up to one chunk
  uint32_t chunks = 0;
  int shownBar = -1, shownStatus = -1;
  UniqueHandle writeDone(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD eventError = writeDone.valid() ? 0 : GetLastError();
  events.TransferStarted(d->size);
  do {
    uint64_t left = d->size - offset;
    DWORD chunk = static_cast<DWORD>(left < kChunkSize ? left : kChunkSize);
    IoResult write = writeDone.valid() ? WriteAll(d->dataChannel.get(), d->image.get() + offset, chunk,
                                                  kDataWriteTimeoutMs, writeDone.get())
                                       : IoResult{IoStatus::Failed, eventError};
    if (write != IoStatus::Ok) {
      d->image.reset();
      d->dataChannel.reset();
      events.TransferEnded(chunks, offset, write.error);
      events.Failure(BrokenConnection(write.error));
      Finish(events);
      return 0;
    }
    ++chunks;
    offset += kChunkSize;
    ChunkDisplay display = DisplayAfterChunk(d->size, offset, steps);
    if (display.update) {
      // Skip reports that would show nothing new: each one costs the window thread work.
      if (display.bar != shownBar) events.Progress(shownBar = display.bar, false);
      if (display.status != shownStatus) events.StatusPercent(shownStatus = display.status);
    }
  } while (offset < d->size);
  d->image.reset();
  d->dataChannel.reset();
  events.TransferEnded(chunks, d->size, 0);

  if (d->size > kLargeImageThreshold && !MonitorFlashing(events, d->device)) {
    Finish(events);
    return 0;
  }
  events.StatusPercent(100);
  events.Progress(static_cast<int>(offset / steps.percentStep), true);
  Sleep(kClosingPauseMs);
  events.Success(d->kind);
  Finish(events);
  return 0;
}

}  // namespace

bool IsDownloadRunning() { return g_downloadRunning; }

bool ReadVerifiedImage(const std::wstring& directory, const std::wstring& imageName,
                       const std::shared_ptr<FlashEvents>& events, HANDLE stop, VerifiedImage* verified) {
  if (!events || !verified) return false;
  LoadedImage image = LoadImageFile(
      directory + imageName, [events](uint32_t done, uint32_t size) { events->ImageReadProgress(done, size); }, stop);
  switch (image.status) {
    case LoadStatus::Loaded:
      break;
    case LoadStatus::Missing:
      return Refuse(*events, FlashFailure::Kind::ImageMissing, imageName, image.systemError);
    case LoadStatus::Locked:
      return Refuse(*events, FlashFailure::Kind::ImageLocked, imageName, image.systemError);
    case LoadStatus::TooLarge:
      return Refuse(*events, FlashFailure::Kind::ImageTooLarge, imageName, image.systemError);
    case LoadStatus::NoMemory:
      return Refuse(*events, FlashFailure::Kind::ImageNoMemory, imageName, image.systemError);
    case LoadStatus::Unreadable:
      return Refuse(*events, FlashFailure::Kind::ImageUnreadable, imageName, image.systemError);
    case LoadStatus::GivenUp:
      return Refuse(*events, FlashFailure::Kind::ImageReadGivenUp, imageName, image.systemError);
  }
  const ImageKind kind = CheckImageHeader(image.bytes.get(), image.size);
  events->ImageLoaded(imageName, image.size, kind);
  if (kind == ImageKind::Damaged) return Refuse(*events, FlashFailure::Kind::ImageDamaged, imageName, 0);
  const std::string sha256 = HexDigest(image.sha256);
  events->ImageChecksum(imageName, sha256);
  for (const ExpectedChecksum& expected : FindExpectedChecksums(directory, imageName)) {
    if (expected.listed && expected.readable && expected.sha256 == sha256) {
      events->ChecksumMatched(expected.file);
      continue;
    }
    // Not one byte of an image that its checksum file does not vouch for.
    FlashFailure f;
    f.kind = !expected.listed    ? FlashFailure::Kind::ChecksumNotListed
             : expected.readable ? FlashFailure::Kind::ChecksumMismatch
                                 : FlashFailure::Kind::ChecksumUnreadable;
    f.imageName = imageName;
    f.checksumFile = expected.file;
    f.expectedSha256 = expected.sha256;
    f.actualSha256 = sha256;
    events->Failure(f);
    return false;
  }
  verified->name = imageName;
  verified->bytes = std::move(image.bytes);
  verified->size = image.size;
  verified->kind = kind;
  return true;
}

StartResult StartDownload(VerifiedImage& image, const std::shared_ptr<FlashEvents>& events, DevicePin& pin) {
  // One download at a time, whatever the window shows: trying again would not help
  // either, but nothing is reported (the running one reports for itself).
  if (g_downloadRunning || !events || !image.bytes) return StartResult::Refused;
  auto d = std::make_unique<Download>();
  d->events = events;

  DWORD openError = 0;
  std::string devicePath;
  d->dataChannel.reset(OpenDevicePipe(pin, kDataPipe, &devicePath, &openError));
  if (!d->dataChannel.valid()) {
    events->DeviceMissing(openError);
    return StartResult::NoDevice;  // not in flash mode yet (or the run's device is gone)
  }
  g_downloadRunning = true;
  pin.Pin(devicePath);
  d->device = pin;
  events->DeviceUsed(devicePath);
  d->kind = image.kind;
  d->size = image.size;
  d->image = std::move(image.bytes);
  const std::wstring name = image.name;

  Download* handedOver = d.release();
  HANDLE thread = CreateThread(nullptr, 0, DownloadWorker, handedOver, 0, nullptr);
  if (!thread) {
    DWORD error = GetLastError();
    delete handedOver;
    Refuse(*events, FlashFailure::Kind::WorkerNotStarted, name, error);
    return StartResult::Refused;
  }
  CloseHandle(thread);  // runs detached; nobody waits for it
  return StartResult::Started;
}
