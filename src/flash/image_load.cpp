#include "flash/image_load.h"

#include <atomic>
#include <new>

#include "device/pipe_io.h"
#include "util/handle.h"
#include "util/paths.h"

namespace {

// Shared by the caller and the reading thread; whichever lets go last frees it, so a
// caller that gave up may return while a piece is still being read.
struct ReadJob {
  UniqueHandle file;
  std::unique_ptr<uint8_t[]> bytes;
  uint32_t size = 0;
  ReadProgress progress;
  UniqueHandle woken;  // manual reset: set after each piece and at the end
  std::atomic<uint32_t> done{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};
  DWORD error = 0;        // written before `finished`
  Sha256Digest sha256{};  // written before `finished`
};

void ReadPieces(ReadJob& job) {
  // Hashed piece by piece as it comes in, while the next piece is not read yet: the
  // digest costs no second pass over a large image.
  Sha256 hash;
  uint32_t done = 0;
  while (done < job.size && !job.stop) {
    DWORD want = job.size - done < kImageReadPiece ? job.size - done : kImageReadPiece;
    DWORD got = 0;
    if (!ReadFile(job.file.get(), job.bytes.get() + done, want, &got, nullptr)) {
      job.error = GetLastError();
      break;
    }
    if (got == 0) {
      job.error = ERROR_HANDLE_EOF;  // shorter than its size said
      break;
    }
    hash.Update(job.bytes.get() + done, got);
    done += got;
    job.done = done;
    if (job.progress) job.progress(done, job.size);
    SetEvent(job.woken.get());
  }
  job.file.reset();  // closed at once: nothing holds the file once it is read
  if (!job.error && done == job.size && !job.stop && !hash.Finish(&job.sha256)) {
    job.sha256 = Sha256Of(job.bytes.get(), job.size, false);  // the system's hash gave up on the way
  }
  job.finished = true;
  SetEvent(job.woken.get());
}

DWORD WINAPI ReadThread(void* parameter) {
  auto* handedOver = static_cast<std::shared_ptr<ReadJob>*>(parameter);
  std::shared_ptr<ReadJob> job = std::move(*handedOver);
  delete handedOver;
  ReadPieces(*job);
  return 0;
}

LoadedImage Refused(LoadedImage out, LoadStatus status, DWORD error) {
  out.status = status;
  out.systemError = error;
  return out;
}

}  // namespace

LoadedImage LoadImageFile(const std::wstring& path, ReadProgress progress, HANDLE stop) {
  LoadedImage out;
  auto job = std::make_shared<ReadJob>();
  job->file.reset(OpenFileForReading(path));
  if (!job->file.valid()) {
    DWORD error = GetLastError();
    return Refused(std::move(out), HeldByAnotherProgram(error) ? LoadStatus::Locked : LoadStatus::Missing, error);
  }
  // Shared for reading only: nobody can change or replace the file while it is open,
  // so the size found now is the size read.
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(job->file.get(), &size)) return Refused(std::move(out), LoadStatus::Unreadable, GetLastError());
  out.fileSize = static_cast<uint64_t>(size.QuadPart);
  if (out.fileSize > kLargestImage) return Refused(std::move(out), LoadStatus::TooLarge, ERROR_FILE_TOO_LARGE);
  job->size = static_cast<uint32_t>(out.fileSize);
  job->bytes.reset(new (std::nothrow) uint8_t[job->size ? job->size : 1]);
  if (!job->bytes) return Refused(std::move(out), LoadStatus::NoMemory, ERROR_NOT_ENOUGH_MEMORY);
  job->progress = std::move(progress);
  job->woken.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!job->woken.valid()) return Refused(std::move(out), LoadStatus::Unreadable, GetLastError());

  auto* handOver = new std::shared_ptr<ReadJob>(job);
  HANDLE thread = CreateThread(nullptr, 0, ReadThread, handOver, 0, nullptr);
  if (thread) {
    CloseHandle(thread);  // ends by itself; `finished` says when
  } else {
    delete handOver;
    ReadPieces(*job);  // no thread to spare: read here, without a way to give up
  }

  uint32_t seen = 0;
  while (!job->finished) {
    DWORD woke = WaitOrStop(job->woken.get(), stop, kImageReadStallTimeoutMs);
    // Reset before `finished` is looked at again: a wake-up lost here is at worst a
    // piece's, never the end's.
    ResetEvent(job->woken.get());
    uint32_t now = job->done;
    if (woke == WAIT_OBJECT_0 || (woke == WAIT_TIMEOUT && now != seen)) {
      seen = now;
      continue;
    }
    job->stop = true;
    return woke == WAIT_TIMEOUT ? Refused(std::move(out), LoadStatus::Unreadable, ERROR_TIMEOUT)
                                : Refused(std::move(out), LoadStatus::GivenUp, ERROR_CANCELLED);
  }
  if (job->error || job->done != job->size) {
    if (HeldByAnotherProgram(job->error)) return Refused(std::move(out), LoadStatus::Locked, job->error);
    return Refused(std::move(out), LoadStatus::Unreadable, job->error ? job->error : ERROR_HANDLE_EOF);
  }
  out.status = LoadStatus::Loaded;
  out.bytes = std::move(job->bytes);
  out.size = job->size;
  out.sha256 = job->sha256;
  return out;
}
