// The flash log: what one run of the program showed and exchanged with the device,
// line by line with the time, in a file of its own that the user can send to support.
// Any thread may add a line; none waits for the disk: a thread of the log's own
// writes the lines out, a few times a second, and the rest when the log closes. A log
// that cannot be written costs the flash nothing: the lines are still kept in memory
// for the log window. This is the writer; how a run ended is run_outcome.h, the logs
// of earlier runs kept_logs.h.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "app/run_outcome.h"
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

// The course of the run's updates, logged (NoteUpdateFailed and the rest of the
// account come with run_outcome.h).
void LogUpdateStarted();  // "update started", and the account starts afresh
// The run's closing line, with the outcome of its last update. The program's last line.
void LogRunEnd();

// The folder this run logs to (the one OpenFlashLog was given, also when no file could
// be made there), or DefaultLogFolder() before that.
std::wstring FlashLogFolder();
// The local time this run's log began.
SYSTEMTIME FlashLogStart();
