// What the main window is doing, as one named value. Every control's state, whether
// the window is busy and whether the program may end now follow from it alone:
// nothing reads a control back to decide.
#pragma once

enum class Phase {
  Idle,        // waiting for Update
  Warning,     // the connection warning is open
  Starting,    // the click's first checks, before the waits
  Preflight,   // waits, version queries, the image read: nothing sent, Exit ends the program
  Connecting,  // a start attempt opens the data pipe: from here on the device may receive
  Transfer,    // the image goes out
  Monitor,     // the device formats and writes it
  Broken,      // the connection broke: only Exit is left
  Ending,      // the last report came: the program ends
};

// The enabled state of each control. The image list is never enabled: the program
// selects its entry.
struct ControlStates {
  bool update = false, exit = false, ack = false, notes = false, readme = false;
  bool operator==(const ControlStates& o) const {
    return update == o.update && exit == o.exit && ack == o.ack && notes == o.notes && readme == o.readme;
  }
};

// `updatePossible`: an image set that allows an update, and the acknowledgement ticked.
ControlStates ControlsFor(Phase phase, bool updatePossible);

// Busy: anything but waiting for the user. The idle look at the bus keeps away.
bool IsBusy(Phase phase);

// Exit, the close box and Escape end the program in these phases only: nothing is
// being sent, or nothing more can be.
bool MayEndNow(Phase phase);
