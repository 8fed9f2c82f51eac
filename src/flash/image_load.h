// Reads an image file whole into memory before any byte of it is sent, so that a
// read error can never leave half an image on the device. The reading runs on a
// thread of its own, so that a read stuck on a vanished disk or share can be given
// up: by its stall time-out, or at once when the caller's stop event is set.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "images/sha256.h"

// A piece of the image file that has not come in after this long: the disk or the
// network share behind it is gone, not slow.
constexpr DWORD kImageReadStallTimeoutMs = 30000;
// The file is read in pieces of this size, so that a read that was given up stops soon.
constexpr DWORD kImageReadPiece = 1u << 20;
// Sizes travel as 32-bit counts (the progress arithmetic, the device's own stream):
// the largest image that can be sent whole.
constexpr uint64_t kLargestImage = 0xFFFFFFFFull;

enum class LoadStatus {
  Loaded,
  Missing,     // the file did not open
  Locked,      // another program holds it (at the open, or a range of it at a read)
  TooLarge,    // above kLargestImage: never read, never sent cut short
  NoMemory,    // no block of memory that large (the 32-bit program's limit)
  Unreadable,  // a read failed, came short or stalled
  GivenUp,     // the caller's stop event was set (the program is ending)
};

struct LoadedImage {
  LoadStatus status = LoadStatus::Unreadable;
  DWORD systemError = 0;  // the cause of any status but Loaded
  uint64_t fileSize = 0;  // as found when the file was opened
  std::unique_ptr<uint8_t[]> bytes;
  uint32_t size = 0;      // the bytes read: the whole file
  Sha256Digest sha256{};  // Loaded: the digest of those bytes
};

// Told the bytes read so far after each piece, on the thread that reads (not the
// caller's). It may be called after LoadImageFile has given up and returned.
using ReadProgress = std::function<void(uint32_t done, uint32_t size)>;

// `stop`: a manual-reset event that, once set, gives the read up (none: read to the end).
LoadedImage LoadImageFile(const std::wstring& path, ReadProgress progress = nullptr, HANDLE stop = nullptr);
