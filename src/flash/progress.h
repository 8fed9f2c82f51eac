// Progress arithmetic of the transfer, free of any window.
#pragma once
#include <cstdint>

constexpr uint32_t kChunkSize = 16384;
// Images above this size are formatted and stored by the device after the transfer,
// which the flash monitor follows.
constexpr uint32_t kLargeImageThreshold = 131072;

struct TransferSteps {
  uint32_t percentStep;   // size / 100, at least 1
  uint32_t transferStep;  // size / 35 (0 below 35 bytes)
};
TransferSteps ComputeTransferSteps(uint32_t downloadSize);

// What the window shows after a chunk, given the bytes-sent offset after it (which
// grows by a whole chunk each time, also after the last, shorter one).
struct ChunkDisplay {
  bool update;  // only chunks whose quotient offset / percentStep is odd update
  int bar;      // value for SetProgress
  int status;   // value for the status line's percentage
};
ChunkDisplay DisplayAfterChunk(uint32_t downloadSize, uint64_t offsetAfter, const TransferSteps& steps);
