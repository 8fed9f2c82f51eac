#include "png.h"

#include <cstddef>

// A PNG writer just big enough for screenshots: one IDAT of fixed-Huffman deflate.

namespace testing_support {

namespace {

uint32_t Crc32(const uint8_t* data, size_t n, uint32_t crc = 0) {
  static uint32_t table[256];
  static bool ready = false;
  if (!ready) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    ready = true;
  }
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint32_t Adler32(const std::vector<uint8_t>& data) {
  uint32_t a = 1, b = 0;
  for (uint8_t byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

// Deflate with the fixed Huffman codes and a one-candidate match search: screens are
// mostly flat colour, which this shrinks to a few per cent without any library.
class BitWriter {
 public:
  void Bits(uint32_t value, int count) {  // least significant bit first
    for (int i = 0; i < count; ++i) Bit((value >> i) & 1);
  }
  void Code(uint32_t code, int length) {  // Huffman codes go most significant bit first
    for (int i = length - 1; i >= 0; --i) Bit((code >> i) & 1);
  }
  std::vector<uint8_t> Finish() {
    if (used_) out_.push_back(current_);
    return std::move(out_);
  }

 private:
  void Bit(uint32_t bit) {
    current_ |= static_cast<uint8_t>(bit << used_);
    if (++used_ == 8) {
      out_.push_back(current_);
      current_ = 0;
      used_ = 0;
    }
  }
  std::vector<uint8_t> out_;
  uint8_t current_ = 0;
  int used_ = 0;
};

void LiteralOrLength(BitWriter& w, int symbol) {
  if (symbol < 144)
    w.Code(0x30 + symbol, 8);
  else if (symbol < 256)
    w.Code(0x190 + symbol - 144, 9);
  else if (symbol < 280)
    w.Code(symbol - 256, 7);
  else
    w.Code(0xC0 + symbol - 280, 8);
}

void Match(BitWriter& w, int length, int distance) {
  static const int lengthBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  static const int lengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  static const int distBase[] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                 33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
  static const int distExtra[] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                  6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
  int l = 28;
  while (lengthBase[l] > length) --l;
  LiteralOrLength(w, 257 + l);
  w.Bits(static_cast<uint32_t>(length - lengthBase[l]), lengthExtra[l]);
  int d = 29;
  while (distBase[d] > distance) --d;
  w.Code(static_cast<uint32_t>(d), 5);
  w.Bits(static_cast<uint32_t>(distance - distBase[d]), distExtra[d]);
}

std::vector<uint8_t> Zlib(const std::vector<uint8_t>& data) {
  BitWriter w;
  w.Bits(1, 1);  // final block
  w.Bits(1, 2);  // fixed Huffman codes
  const size_t n = data.size();
  std::vector<int64_t> last(1 << 16, -1);
  auto hash = [&](size_t i) { return ((data[i] << 8) ^ (data[i + 1] << 4) ^ data[i + 2]) & 0xFFFF; };
  size_t i = 0;
  while (i < n) {
    int bestLength = 0;
    size_t bestDistance = 0;
    if (i + 3 <= n) {
      int64_t candidate = last[hash(i)];
      last[hash(i)] = static_cast<int64_t>(i);
      if (candidate >= 0 && i - static_cast<size_t>(candidate) <= 32768) {
        size_t c = static_cast<size_t>(candidate);
        int length = 0;
        while (length < 258 && i + length < n && data[c + length] == data[i + length]) ++length;
        if (length >= 3) {
          bestLength = length;
          bestDistance = i - c;
        }
      }
    }
    if (bestLength) {
      Match(w, bestLength, static_cast<int>(bestDistance));
      for (size_t k = 1; k < static_cast<size_t>(bestLength) && i + k + 3 <= n; ++k)
        last[hash(i + k)] = static_cast<int64_t>(i + k);
      i += static_cast<size_t>(bestLength);
    } else {
      LiteralOrLength(w, data[i]);
      ++i;
    }
  }
  LiteralOrLength(w, 256);  // end of block
  std::vector<uint8_t> out = {0x78, 0x01};
  std::vector<uint8_t> body = w.Finish();
  out.insert(out.end(), body.begin(), body.end());
  uint32_t adler = Adler32(data);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(adler >> shift));
  return out;
}

void PutChunk(std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& data) {
  auto put32 = [&](uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<uint8_t>(v >> shift));
  };
  put32(static_cast<uint32_t>(data.size()));
  size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  put32(Crc32(png.data() + start, png.size() - start));
}

}  // namespace

std::vector<uint8_t> EncodePng(const std::vector<uint8_t>& rgb, int width, int height) {
  std::vector<uint8_t> raw;
  raw.reserve(static_cast<size_t>(height) * (1 + 3 * static_cast<size_t>(width)));
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // no filter
    auto row = rgb.begin() + static_cast<ptrdiff_t>(y) * 3 * width;
    raw.insert(raw.end(), row, row + 3 * width);
  }
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  for (uint32_t v : {static_cast<uint32_t>(width), static_cast<uint32_t>(height)})
    for (int shift = 24; shift >= 0; shift -= 8) header.push_back(static_cast<uint8_t>(v >> shift));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB, no interlace
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", Zlib(raw));
  PutChunk(png, "IEND", {});
  return png;
}

}  // namespace testing_support
