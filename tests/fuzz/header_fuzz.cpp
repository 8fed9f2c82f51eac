// Any file start: the header check reads no byte past the length it is given and
// names a kind only for the two exact lines.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "images/image_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so the address sanitizer sees any read beyond it.
  std::vector<uint8_t> copy(data, data + size);
  ImageKind kind = CheckImageHeader(copy.empty() ? nullptr : copy.data(), copy.size());
  bool os = size >= 7 && std::memcmp(data, "X000FF\n", 7) == 0;
  bool boot = size >= 7 && std::memcmp(data, "B000FF\n", 7) == 0;
  ImageKind expected = os ? ImageKind::Os : boot ? ImageKind::Boot : ImageKind::Damaged;
  if (kind != expected) std::abort();
  return 0;
}
