// Screenshots are saved as PNG files; this writes them without any library.
#pragma once
#include <cstdint>
#include <vector>

namespace testing_support {

// Encodes 8-bit RGB rows (top row first, 3 bytes per pixel) as a PNG file's bytes.
std::vector<uint8_t> EncodePng(const std::vector<uint8_t>& rgb, int width, int height);

}  // namespace testing_support
