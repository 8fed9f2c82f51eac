// The flash log: what one run of the program showed and exchanged with the device,
// line by line with the time, in a file of its own that the user can send to support.
// Any thread may add a line; none waits for the disk: a thread of the log's own
// writes the lines out, a few times a second, and the rest when the log closes. A log that cannot be written costs the
// flash nothing: the lines are still kept in memory for the log window.
#pragma once
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/records.h"
#include "images/discovery.h"

// <local application data>\r47flash\Protokolle, or "" when the system names no such folder.
std::wstring DefaultLogFolder();

// Starts this run's log file in `folder` (created when missing) and removes the
// oldest log files there beyond the newest `keep`. False when no file could be
// made: the log then lives in memory only.
bool OpenFlashLog(const std::wstring& folder, size_t keep = 20);
// Writes out what is queued (waiting a bounded time for the disk) and closes the file.
// Lines added later are kept in memory only.
void CloseFlashLog();
// The file of this run, "" when there is none.
std::wstring FlashLogPath();
// Everything logged since the start of the run, one line each, CRLF-separated.
std::wstring FlashLogText();

// Adds one line, stamped with the local time. Any thread; never waits for the disk.
void LogLine(const std::wstring& text);

// What the window showed: a status line, a message box (also a dialog standing for one).
void LogStatus(const std::wstring& text);
void LogBox(const std::wstring& caption, const std::wstring& text);
// An image file that the discovery at start refused, with the reason and the system's cause.
void LogImageRefused(const RefusedImage& refused);

// The update's pre-flight, from the window's thread.
void LogVersionFile(bool read, int bootHigh, int bootLow, bool mustUpdateBoot);
void LogVersionAnswer(int query, int queries, const VersionAnswer& answer, DWORD systemError);
void LogVersionChoice(uint16_t deviceVersion, const std::wstring& image);

// How a run ended, as its log's closing line says.
struct RunOutcome {
  enum class Kind {
    Unknown,    // no closing line: the program did not reach its end (killed, crashed, power lost)
    NoUpdate,   // no update was started
    PreFlight,  // ended during the last update's pre-flight, before anything was sent
    Download,   // ended while the image went to the device, without a result
    Completed,  // the last update succeeded
    Failed,     // the last update failed; `message` is what the user was told
  };
  Kind kind = Kind::Unknown;
  std::wstring message;
  bool operator==(const RunOutcome& o) const { return kind == o.kind && message == o.message; }
};

// The course of the run's updates, for its closing line. Any thread. A later update
// starts the account afresh; failures outside an update (a missing readme) do not count.
void LogUpdateStarted();  // also logs "update started"
void NoteDownloadStarted();
void NoteUpdateFailed(const std::wstring& message);
void NoteUpdateCompleted();
// The run's closing line, with the outcome of its last update. The program's last line.
void LogRunEnd();
// The outcome the closing line will carry if the run ends now.
RunOutcome CurrentRunOutcome();
// The text of a closing line, and the outcome read back from a log's text (its last
// closing line; Unknown when it has none).
std::wstring ClosingLine(const RunOutcome& outcome);
RunOutcome OutcomeOfLog(const std::wstring& text);

// The folder this run logs to (the one OpenFlashLog was given, also when no file could
// be made there), or DefaultLogFolder() before that.
std::wstring FlashLogFolder();
// The local time this run's log began.
SYSTEMTIME FlashLogStart();

// A log an earlier run left behind.
struct KeptLog {
  std::wstring path;
  SYSTEMTIME started{};
  RunOutcome outcome;
};
// The start time and process id a log file name carries; false for other names.
bool ParseLogFileName(const std::wstring& name, SYSTEMTIME* started, DWORD* processId);
// The logs in `folder` other than the file `except`, newest first, each with the
// outcome its end says (only the end of each file is read).
std::vector<KeptLog> KeptLogs(const std::wstring& folder, const std::wstring& except);
// A log file's text. Of a file longer than `limitBytes` only the end is read (from a
// line start), and *cut says so. False with the system error when it cannot be read.
bool ReadLogFile(const std::wstring& path, size_t limitBytes, std::wstring* text, bool* cut, DWORD* error);

// The name of a run's log file: r47flash-YYYYMMDD-HHMMSS-<process id>.log, so that
// names sort by time.
std::wstring LogFileName(const SYSTEMTIME& time, DWORD processId);
// Of the log file names given (other names are left alone), the ones to remove so
// that the newest `keep` stay.
std::vector<std::wstring> LogFilesToPrune(std::vector<std::wstring> names, size_t keep);
