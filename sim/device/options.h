// Settings of the simulated handheld, from the command line and a scenario file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace r47sim {

// One entry of the answer sequence given before an image arrives.
struct VersionItem {
  enum Kind { Version, None, Bad, Hang, Close, Busy } kind = Version;
  uint16_t value = 0;
  unsigned count = 0;   // 0: repeats forever (only the last item)
  unsigned size = 128;  // bytes of the report delivered (short:N:W)
};

struct UnplugPoint {
  enum Kind { Never, Transfer, Format, Write, AfterReads, Command } kind = Never;
  uint64_t value = 0;
};

struct Options {
  std::string name;
  std::string recordDir;
  std::string quitEvent;    // default: Local\r47sim-<name>-quit
  std::string unplugEvent;  // default: Local\r47sim-<name>-unplug; set: unplug now
  std::string plugEvent;    // default: Local\r47sim-<name>-plug; set: plug in again now
  unsigned long parentPid = 0;
  unsigned lifetimeMs = 300000;

  std::vector<VersionItem> versionSequence;  // default: one item, the version 0x0105 forever
  unsigned paceMs = 100;                     // 0: one progress step per delivered report
  unsigned step = 4;                         // percent per step

  UnplugPoint unplugAt;
  int replugAfterMs = -1;   // <0: stays unplugged
  bool unplugOnce = false;  // the unplug point is passed once; a replugged device keeps going

  int formatFailAt = -1;  // percent; <0: no failure
  int writeFailAt = -1;
  bool noZero = false;
  std::string failText;  // replaces the default failure text when set

  bool hangReads = false;
  uint64_t hangReadsAfter = 0;  // reports delivered before the hang
  bool hangWrites = false;
  uint64_t hangWritesAfter = 0;
  int shortReport = -1;     // <0: full 128-byte reports
  unsigned emptyEvery = 0;  // while flashing, every Nth report delivers no bytes; 0: never
  bool garbageKinds = false;
  unsigned reportDelayMs = 0;
};

// The device instance id is USB\VID_xxxx&PID_xxxx\<name>, at most 200 characters.
constexpr size_t kMaxNameLength = 178;

// Fills `opt` from argv; on error returns false with a message in `error`.
bool ParseCommandLine(int argc, char** argv, Options& opt, std::string& error);

}  // namespace r47sim
