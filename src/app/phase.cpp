#include "app/phase.h"

ControlStates ControlsFor(Phase phase, bool updatePossible) {
  ControlStates c;
  switch (phase) {
    case Phase::Idle:
      c.update = updatePossible;
      c.exit = c.ack = c.notes = c.readme = true;
      break;
    case Phase::Preflight:
    case Phase::Broken:
      c.exit = true;
      break;
    case Phase::Warning:
    case Phase::Starting:
    case Phase::Connecting:
    case Phase::Transfer:
    case Phase::Monitor:
    case Phase::Ending:
      break;
  }
  return c;
}

bool IsBusy(Phase phase) { return phase != Phase::Idle; }

bool MayEndNow(Phase phase) { return ControlsFor(phase, false).exit; }
