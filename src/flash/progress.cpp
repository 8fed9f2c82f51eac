#include "flash/progress.h"

TransferSteps ComputeTransferSteps(uint32_t downloadSize) {
  TransferSteps steps{};
  steps.percentStep = downloadSize / 100;
  if (steps.percentStep == 0) steps.percentStep = 1;
  steps.transferStep = downloadSize / kTransferPartOfBar;
  return steps;
}

namespace {

// The window is updated after every other percent step of the transfer: after a chunk
// that ends on an odd number of them.
bool EndsOnAnOddStep(uint64_t percentSteps) { return (percentSteps & 1) != 0; }

}  // namespace

ChunkDisplay DisplayAfterChunk(uint32_t downloadSize, uint64_t offsetAfter, const TransferSteps& steps) {
  ChunkDisplay d{false, 0, 0};
  uint64_t percentSteps = offsetAfter / steps.percentStep;
  if (!EndsOnAnOddStep(percentSteps)) return d;
  d.update = true;
  // Below kTransferPartOfBar bytes there is no transfer step; such an image never ends
  // on an odd step (one chunk, percent step 1), but never divide by zero regardless.
  uint64_t byTransferStep = steps.transferStep ? offsetAfter / steps.transferStep : 0;
  d.bar = static_cast<int>(downloadSize > kLargeImageThreshold ? byTransferStep : percentSteps);
  d.status = static_cast<int>(byTransferStep);
  return d;
}
