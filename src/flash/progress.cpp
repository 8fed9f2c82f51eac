#include "flash/progress.h"

TransferSteps ComputeTransferSteps(uint32_t downloadSize) {
  TransferSteps steps{};
  steps.percentStep = downloadSize / 100;
  if (steps.percentStep == 0) steps.percentStep = 1;
  steps.transferStep = downloadSize / 35;
  return steps;
}

ChunkDisplay DisplayAfterChunk(uint32_t downloadSize, uint64_t offsetAfter, const TransferSteps& steps) {
  ChunkDisplay d{false, 0, 0};
  uint64_t quotient = offsetAfter / steps.percentStep;
  if ((quotient & 1) == 0) return d;
  d.update = true;
  // Below 35 bytes there is no transfer step; such an image never reaches an odd
  // quotient (one chunk, percent step 1), but never divide by zero regardless.
  uint64_t byTransferStep = steps.transferStep ? offsetAfter / steps.transferStep : 0;
  d.bar = static_cast<int>(downloadSize > kLargeImageThreshold ? byTransferStep : quotient);
  d.status = static_cast<int>(byTransferStep);
  return d;
}
