// The 7-byte header line that marks a file as a ROM image and tells its kind.
#pragma once
#include <cstddef>
#include <cstdint>

enum class ImageKind : int {
  Os = 0,       // "X000FF\n"
  Boot = 1,     // "B000FF\n"
  Unknown = 3,  // not checked yet
  Damaged = 4,  // neither line, or fewer than 7 bytes
};

constexpr size_t kImageHeaderSize = 7;

// Looks only at the first 7 bytes; a shorter buffer is a damaged image.
ImageKind CheckImageHeader(const uint8_t* bytes, size_t length);
