#include "images/sha256.h"

#include <wincrypt.h>

#include <cstring>

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// CALG_SHA_256 as Windows XP SP3's headers name it, for headers that leave it out.
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)
#endif
#ifndef PROV_RSA_AES
#define PROV_RSA_AES 24
#endif

}  // namespace

Sha256Builtin::Sha256Builtin()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256Builtin::Block(const uint8_t* block) {
  uint32_t w[64];
  for (size_t i = 0; i < 16; ++i) {
    const uint8_t* p = block + 4 * i;
    w[i] = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
  }
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

void Sha256Builtin::Update(const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  length_ += length;
  if (buffered_) {
    size_t take = 64 - buffered_ < length ? 64 - buffered_ : length;
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    length -= take;
    if (buffered_ < 64) return;
    Block(buffer_);
    buffered_ = 0;
  }
  for (; length >= 64; p += 64, length -= 64) Block(p);
  std::memcpy(buffer_, p, length);
  buffered_ = length;
}

Sha256Digest Sha256Builtin::Finish() {
  const uint64_t bits = length_ * 8;
  uint8_t pad[72] = {0x80};
  size_t padLength = (buffered_ < 56 ? 56 : 120) - buffered_;
  for (size_t i = 0; i < 8; ++i) pad[padLength + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Update(pad, padLength + 8);
  Sha256Digest digest;
  for (size_t i = 0; i < 32; ++i) digest[i] = static_cast<uint8_t>(state_[i / 4] >> (24 - 8 * (i % 4)));
  return digest;
}

Sha256::Sha256(bool useSystem) {
  if (!useSystem) return;
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) return;
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
    CryptReleaseContext(provider, 0);
    return;
  }
  provider_ = provider;
  hash_ = hash;
}

Sha256::~Sha256() {
  if (hash_) CryptDestroyHash(static_cast<HCRYPTHASH>(hash_));
  if (provider_) CryptReleaseContext(static_cast<HCRYPTPROV>(provider_), 0);
}

void Sha256::Update(const void* data, size_t length) {
  if (!hash_) {
    builtin_.Update(data, length);
    return;
  }
  const BYTE* p = static_cast<const BYTE*>(data);
  while (length > 0 && !failed_) {
    DWORD piece = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    if (!CryptHashData(static_cast<HCRYPTHASH>(hash_), p, piece, 0)) failed_ = true;
    p += piece;
    length -= piece;
  }
}

bool Sha256::Finish(Sha256Digest* digest) {
  if (!hash_) {
    *digest = builtin_.Finish();
    return true;
  }
  DWORD size = static_cast<DWORD>(digest->size());
  return !failed_ && CryptGetHashParam(static_cast<HCRYPTHASH>(hash_), HP_HASHVAL, digest->data(), &size, 0) &&
         size == digest->size();
}

std::string HexDigest(const Sha256Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

Sha256Digest Sha256Of(const void* data, size_t length, bool useSystem) {
  Sha256 hash(useSystem);
  hash.Update(data, length);
  Sha256Digest digest;
  if (hash.Finish(&digest)) return digest;
  Sha256Builtin builtin;
  builtin.Update(data, length);
  return builtin.Finish();
}
