#include "flash/download.h"

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "app/controls.h"
#include "app/ui_text.h"
#include "device/discovery.h"
#include "device/pipe_io.h"
#include "flash/monitor.h"
#include "flash/progress.h"
#include "images/discovery.h"
#include "images/image_header.h"
#include "images/paths.h"
#include "res/resource.h"
#include "util/handle.h"

namespace {

// Everything one download needs. StartDownload fills it on the main thread and hands
// it to the worker whole; from then on only the worker touches it.
struct Download {
  HWND window = nullptr;
  ImageKind kind = ImageKind::Unknown;
  UniqueHandle dataChannel;
  std::unique_ptr<uint8_t[]> image;
  uint32_t size = 0;
};

std::atomic<bool> g_downloadRunning{false};

constexpr int kImageNameChars = 64;
constexpr DWORD kClosingPauseMs = 1000;

bool ReadWholeFile(HANDLE file, uint8_t* buffer, uint32_t size) {
  uint32_t done = 0;
  while (done < size) {
    DWORD got = 0;
    if (!ReadFile(file, buffer + done, size - done, &got, nullptr) || got == 0) return false;
    done += got;
  }
  return true;
}

void FailStart(const std::wstring& text) {
  ShowError(StatusLine(), text);
  SetStatusText(text);
  SetControlsEnabled(true);
}

void EndProgram(HWND window) {
  g_downloadRunning = false;
  SendMessageW(window, WM_DESTROY, 0, 0);
}

DWORD WINAPI DownloadWorker(void* parameter) {
  std::unique_ptr<Download> d(static_cast<Download*>(parameter));
  const TransferSteps steps = ComputeTransferSteps(d->size);
  uint64_t offset = 0;  // 64 bits: the offset overshoots the size by up to one chunk
  int shownBar = -1, shownStatus = -1;
  UniqueHandle writeDone(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  do {
    uint64_t left = d->size - offset;
    DWORD chunk = static_cast<DWORD>(left < kChunkSize ? left : kChunkSize);
    if (!writeDone.valid() ||
        WriteAll(d->dataChannel.get(), d->image.get() + offset, chunk, kDataWriteTimeoutMs, writeDone.get()) !=
            IoStatus::Ok) {
      std::wstring text = LoadText(IDS_USB_BROKEN);
      ShowError(StatusLine(), text);
      SetStatusText(text);
      SetControlsEnabled(true);
      SetControlsFailed();
      d->image.reset();
      d->dataChannel.reset();
      EndProgram(d->window);
      return 0;
    }
    offset += kChunkSize;
    ChunkDisplay display = DisplayAfterChunk(d->size, offset, steps);
    if (display.update) {
      // Skip calls that would show nothing new: each one costs the window thread work.
      if (display.bar != shownBar) SetProgress(shownBar = display.bar, false);
      if (display.status != shownStatus) SetStatusText(FormatTextNumber(IDS_PROGRESS, shownStatus = display.status));
    }
  } while (offset < d->size);
  d->image.reset();
  d->dataChannel.reset();

  if (d->size > kLargeImageThreshold && !MonitorFlashing()) {
    EndProgram(d->window);
    return 0;
  }
  SetStatusText(FormatTextNumber(IDS_PROGRESS, 100));
  SetProgress(static_cast<int>(offset / steps.percentStep), true);
  Sleep(kClosingPauseMs);
  ShowMessage(StatusLine(), LoadText(d->kind == ImageKind::Os ? IDS_OS_UPDATED : IDS_BOOT_RESET),
              IDS_CAPTION_SUCCESS, MB_OK | MB_ICONINFORMATION);
  SetStatusText(LoadText(IDS_USB_DONE));
  EndProgram(d->window);
  return 0;
}

}  // namespace

bool IsDownloadRunning() { return g_downloadRunning; }

int StartDownload(HWND mainWindow) {
  if (g_downloadRunning) return 0;  // one download at a time, whatever the window shows
  auto d = std::make_unique<Download>();
  d->window = mainWindow;

  wchar_t name[kImageNameChars] = {};
  GetDlgItemTextW(mainWindow, IDC_IMAGE_LIST, name, kImageNameChars);

  d->dataChannel.reset(OpenPipe(kDataPipe));
  if (!d->dataChannel.valid()) return 0;  // not in flash mode yet: the caller tries again

  UniqueHandle file(OpenFileForReading(ProgramDirectory() + name));
  if (!file.valid()) {
    FailStart(FormatTextString(IDS_FILE_MISSING, name));
    return 0;
  }
  LARGE_INTEGER size{};
  bool sizeOk = GetFileSizeEx(file.get(), &size) && size.QuadPart <= 0xFFFFFFFFLL;
  if (sizeOk) {
    d->size = static_cast<uint32_t>(size.QuadPart);
    d->image.reset(new (std::nothrow) uint8_t[d->size ? d->size : 1]);
  }
  if (!sizeOk || !d->image || !ReadWholeFile(file.get(), d->image.get(), d->size)) {
    SetControlsEnabled(true);
    return 0;
  }
  file.reset();

  d->kind = CheckImageHeader(d->image.get(), d->size);
  if (d->kind == ImageKind::Damaged) {
    FailStart(LoadText(IDS_IMAGE_DAMAGED));
    return 0;
  }

  // An earlier failed attempt may have left the window idle: make it busy again so
  // that nothing can start a second download while this one runs.
  SetControlsEnabled(false);
  g_downloadRunning = true;
  Download* handedOver = d.release();
  HANDLE thread = CreateThread(nullptr, 0, DownloadWorker, handedOver, 0, nullptr);
  if (!thread) {
    g_downloadRunning = false;
    delete handedOver;
    FailStart(LoadText(IDS_THREAD_FAILED));
    return 0;
  }
  CloseHandle(thread);  // runs detached; nobody waits for it
  return 1;
}
