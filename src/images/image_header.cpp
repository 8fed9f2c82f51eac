#include "images/image_header.h"

#include <cstring>

ImageKind CheckImageHeader(const uint8_t* bytes, size_t length) {
  static const uint8_t kOsHeader[kImageHeaderSize] = {'X', '0', '0', '0', 'F', 'F', '\n'};
  static const uint8_t kBootHeader[kImageHeaderSize] = {'B', '0', '0', '0', 'F', 'F', '\n'};
  if (!bytes || length < kImageHeaderSize) return ImageKind::Damaged;
  if (std::memcmp(bytes, kOsHeader, kImageHeaderSize) == 0) return ImageKind::Os;
  if (std::memcmp(bytes, kBootHeader, kImageHeaderSize) == 0) return ImageKind::Boot;
  return ImageKind::Damaged;
}
