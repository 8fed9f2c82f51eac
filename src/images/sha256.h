// SHA-256 of an image, so that a file cut short or damaged on its way to the user is
// caught before anything of it is sent. The system's CryptoAPI does the work
// (PROV_RSA_AES, present from Windows XP SP3 on); where that provider is missing or
// fails, a small implementation of our own takes over.
#pragma once
#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Sha256Digest = std::array<uint8_t, 32>;

// The built-in implementation (FIPS 180-4), checked against the standard's vectors.
class Sha256Builtin {
 public:
  Sha256Builtin();
  void Update(const void* data, size_t length);
  Sha256Digest Finish();

 private:
  void Block(const uint8_t* block);
  uint32_t state_[8];
  uint8_t buffer_[64] = {};
  size_t buffered_ = 0;
  uint64_t length_ = 0;
};

// Feeds data piece by piece; the system's hash where it can be had, else the built-in.
class Sha256 {
 public:
  // `useSystem` false: the built-in one alone (tests compare the two).
  explicit Sha256(bool useSystem = true);
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t length);
  // False when the system's hash failed on the way: the digest is then unknown, and
  // the caller hashes the whole data again with the built-in one.
  bool Finish(Sha256Digest* digest);
  bool UsesSystem() const { return hash_ != 0; }

 private:
  ULONG_PTR provider_ = 0;  // HCRYPTPROV
  ULONG_PTR hash_ = 0;      // HCRYPTHASH
  bool failed_ = false;
  Sha256Builtin builtin_;
};

// The digest in lower-case hexadecimal, as sha256sum writes it.
std::string HexDigest(const Sha256Digest& digest);
// The digest of a block in memory.
Sha256Digest Sha256Of(const void* data, size_t length, bool useSystem = true);
