// Progress arithmetic of the transfer, free of any window.
#pragma once
#include <cstdint>

constexpr uint32_t kChunkSize = 16384;
// Images above this size are formatted and stored by the device after the transfer,
// which the flash monitor follows.
constexpr uint32_t kLargeImageThreshold = 131072;

// The part of the bar that a large image's transfer fills (0 to 35): the device's own
// format and write stages follow it from 40. The transfer's status percentage counts
// the same way, for every image.
constexpr uint32_t kTransferPartOfBar = 35;

struct TransferSteps {
  uint32_t percentStep;   // size / 100, at least 1
  uint32_t transferStep;  // size / kTransferPartOfBar (0 below that many bytes)
};
TransferSteps ComputeTransferSteps(uint32_t downloadSize);

// What the window shows after a chunk, given the bytes-sent offset after it (which
// grows by a whole chunk each time, also after the last, shorter one).
struct ChunkDisplay {
  bool update;  // only chunks that end on an odd number of percent steps update
  int bar;      // value for SetProgress
  int status;   // value for the status line's percentage
};
ChunkDisplay DisplayAfterChunk(uint32_t downloadSize, uint64_t offsetAfter, const TransferSteps& steps);
