// Everything the main window keeps while it is open, in one place. Whoever creates
// the window owns it and hands it over as the creation parameter (it outlives the
// window, so a report or a wait that ends after the window went finds it intact); the
// dialog keeps it behind the window and hands it to the code that needs it. The
// modules that act on a part of it (controls, download_view, taskbar, flash_guard)
// include this header, never the other way round.
#pragma once
#include <windows.h>
#include <shobjidl.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "app/device_watch_rules.h"
#include "app/phase.h"
#include "app/preflight.h"
#include "app/way_back_rules.h"
#include "flash/events.h"
#include "images/discovery.h"
#include "images/image_header.h"
#include "util/handle.h"

// The main window's controls, looked up once an image is found.
struct ControlHandles {
  HWND progress{}, status{}, update{}, exit{}, notes{}, readme{}, imageList{}, ack{};
};

// One report of the pre-flight or of a running download, owned by whoever holds it:
// the outbox, then the window's queue. Kinds and data only: the window picks the texts.
struct DownloadReport {
  enum class Kind {
    // the download's
    Progress,
    StatusPercent,
    Failure,
    Success,
    Done,
    ImageSize,
    TransferEnded,
    DeviceStage,
    // the pre-flight's
    Waiting,
    VersionQuery,
    ImageChosen,
    ImageVerified,
    StartAttempt,
    AttemptFailed,
    Refused,
    PreflightEnded,
  } kind = Kind::Progress;
  int value = 0;  // a percentage; a query's or an attempt's number; the chosen entry
  int count = 0;  // the number of queries or attempts
  uint32_t size = 0;
  uint64_t bytes = 0;  // TransferEnded: the bytes that went out
  DWORD systemError = 0;
  DeviceStageSeen stage;  // DeviceStage: the stage the device reported
  bool done = false;      // Progress: at its end; PreflightEnded: a download was started
  uint16_t deviceVersion = 0;
  PreflightEvents::Refusal refusal = PreflightEvents::Refusal::DeviceNotFound;
  ImageKind image = ImageKind::Unknown;  // Success; ImageSize: the image read
  FlashFailure failure;
  HWND window = nullptr;  // the window it is for
};

enum class TaskbarState { None, Progress, Error };

// The window's taskbar button: what it was last asked to show (also where the system
// has no such button) and the system's interface to it, looked up on first use.
// The function that flashes a window's taskbar button: the system's FlashWindowEx, or
// a stand-in that records what it is asked (a flash is not visible from inside).
using WindowFlasher = BOOL(WINAPI*)(PFLASHWINFO);

struct TaskbarButton {
  TaskbarState state = TaskbarState::None;
  WindowFlasher flash = FlashWindowEx;
  int position = 0;
  ComPointer<ITaskbarList3> list;
  bool looked = false;
};

// The function that sets the thread's execution state: the system's
// SetThreadExecutionState, or a stand-in that records what it is asked. The system's
// effect is not visible from inside a program.
using ExecutionStateSetter = EXECUTION_STATE(WINAPI*)(EXECUTION_STATE);

// Keeps the PC awake and refuses a shutdown while an update or a download runs.
struct FlashGuard {
  ExecutionStateSetter setter = SetThreadExecutionState;
  bool active = false;
  EXECUTION_STATE previous = 0;  // put back at the end
  bool reasonCreated = false;
};

// The idle window's look at the bus for the handheld (device_watch.*).
struct DeviceWatch {
  bool running = false;
  std::wstring lastLine;              // what the line said after the last look
  bool sawBusy = false;               // the window was busy since that look
  HDEVNOTIFY notification = nullptr;  // the system's announcements of the class
};

// The pre-flight of the running update: its thread (until it reports its end, or the
// program waits for it on the way out) and the stop the window shares with it.
struct PreflightRunning {
  UniqueHandle thread;
  std::shared_ptr<PreflightControl> control;
};

// The newest log an earlier run left, read once at start: what the window says about
// that run (a notice when it ended mid-flash, the second step after a boot loader).
struct EarlierRun {
  bool found = false;
  std::wstring logPath;
  LastRun run;
};

struct MainWindowState {
  std::wstring programDirectory;  // the images and the readme; ends with a backslash
  HWND window = nullptr;
  ControlHandles controls;  // all null until an image is found
  ImageDiscovery found;     // the image set, the sizes, the list's entries
  Phase phase = Phase::Idle;
  bool ackTicked = false;  // the acknowledgement box, as the user last left it
  // The update's choice: the image list entry (-1 before one is chosen) and what
  // version.ver asked for.
  int chosenImage = -1;
  uint16_t chosenDeviceVersion = 0;  // the version word the choice was made for (0: no answer)
  VersionFileValues versionFile;
  PreflightRunning preflight;
  FlashSeen seen;  // what this update saw of its image and the device
  EarlierRun earlier;
  // Reports that wait for a box of an earlier one.
  std::deque<std::unique_ptr<DownloadReport>> reports;
  bool applyingReports = false;
  TaskbarButton taskbar;
  FlashGuard guard;
  DeviceWatch watch;
};

// Keeps `state` behind `window` (called once, when the window is created).
void AttachWindowState(HWND window, MainWindowState& state);
// The state kept behind the main window; null for a window without one.
MainWindowState* StateOf(HWND window);
