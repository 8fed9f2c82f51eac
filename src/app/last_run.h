// What an earlier run did to the handheld, read back from its log: at the next start
// the program tells the user about a flash that did not complete, names the second
// step after the boot loader was written, and confirms the version it wrote. The
// reading of a log's text is pure; the file reads are bounded (the head and the end of
// a log, however long it grew), and a small mark beside a log records that the notice
// about its run was shown.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "app/run_outcome.h"
#include "images/image_header.h"

// The last stage the device reported while it formatted and wrote the image.
struct DeviceStage {
  enum class Kind { None, Format, Write };
  Kind kind = Kind::None;  // None: the device reported no stage
  int percent = 0;         // "format n %" / "write n %"; 100 once finished
  bool finished = false;   // the format finished, or (write) the image is stored
  bool failed = false;     // the device reported that this stage failed
  bool operator==(const DeviceStage& o) const {
    return kind == o.kind && percent == o.percent && finished == o.finished && failed == o.failed;
  }
};

// What one log says of its run. Everything but `programLog` holds only when it is set.
struct LastRun {
  bool programLog = false;  // the log begins with this program's start line
  SYSTEMTIME started{};     // that line's time stamp, local time
  bool closed = false;      // the closing line is there: the program reached its end
  RunOutcome outcome;       // what the closing line says (Unknown without one)
  bool cut = false;         // a long log: its middle was not read, only its head and its end

  // The run's last update; all empty when it started none.
  bool updateStarted = false;
  // The program began to send the image: from here on the handheld may hold part of it.
  bool transferStarted = false;
  ImageKind image = ImageKind::Unknown;  // Boot or Os, as the log named the image read
  std::wstring imageName;
  uint64_t imageSize = 0;  // 0 when the log names none
  // Bytes of the image that went out. Exact when the transfer's end was logged;
  // otherwise at least this many, from the last percentage the status line showed.
  uint64_t bytesSent = 0;
  bool bytesExact = false;
  DeviceStage lastStage;        // the device's last report of its format or write stage
  std::wstring failure;         // the update's last failure as logged (English), "" when none
  bool flashCompleted = false;  // the device stored the image and the program said so
  // The boot loader's version as the version file named it for this update: the one
  // that a completed flash of the boot image wrote. High byte major, low byte minor,
  // the way the device reports it.
  bool bootVersionKnown = false;
  uint16_t bootVersion = 0;
};

// Reads a log's text: `head` from the file's start, and, of a log too long to read
// whole, `tail` from a line start near its end ("" when `head` is the whole log).
LastRun ReadRunFromText(const std::wstring& head, const std::wstring& tail);

// The run ended after the program began to send an image, without a completed flash:
// it failed, was killed, or ended without a result. The handheld may hold part of it.
bool EndedMidFlash(const LastRun& run);
// The run completed a flash of the boot loader: the operating system is the next step.
bool WroteBootLoader(const LastRun& run);
// The device's version word is the boot loader that `run` wrote.
bool ConfirmsBootLoader(const LastRun& run, uint16_t deviceVersion);

// The log at `path`, read bounded: its head and its end, at most 128 KiB in all, so
// that a call takes a moment on any thread even for a log of many megabytes. False
// with the system error when the file cannot be read.
bool ReadLastRunFile(const std::wstring& path, LastRun* run, DWORD* error);
// The newest log in `folder` of a run that began to send an image, other than `except`
// (this run's own): its path and what it says. False when there is none. That run
// decides what the handheld may hold; runs that sent nothing (the window opened and
// closed, a pre-flight that found no device) say nothing about it and are passed
// over, as are files that are no log of this program's.
bool ReadNewestFlashRun(const std::wstring& folder, const std::wstring& except, std::wstring* path, LastRun* run);

// The record that the notice about the run of the log at `logPath` was shown: a file
// beside the log (its name with ".seen"), removed with it when the log is pruned.
bool MidFlashNoticeShown(const std::wstring& logPath);
// Records it; false when the mark could not be written (the notice then comes again).
bool MarkMidFlashNoticeShown(const std::wstring& logPath);
