// One copy at a time: a second start brings the running copy's window to the front
// and ends without touching the device; a start while another copy is ending waits
// for it and then runs.
#include <windows.h>
#include <winternl.h>

#include "device_scenario.h"

namespace e2e {
namespace {

// The name the program claims for its one copy per logon session.
const wchar_t kClaimName[] = L"Local\\Quon-r47flash-a0e5cf0c-e584-47f8-ac69-571f81b7d640";

// A started copy that may never show a window: only its process is watched.
class BareRun {
 public:
  BareRun(const std::wstring& exe, const std::wstring& workingDirectory) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    started_ = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                              workingDirectory.c_str(), &startup, &process_) != FALSE;
  }
  ~BareRun() {
    if (!started_) return;
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 1);
      WaitForSingleObject(process_.hProcess, kShortWait);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  bool Started() const { return started_; }
  DWORD ProcessId() const { return process_.dwProcessId; }
  std::optional<DWORD> WaitForExit(DWORD timeoutMs) const {
    if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }
  // Whether it shows any visible top-level window.
  bool ShowsAWindow() const {
    Search search{process_.dwProcessId, false};
    EnumWindows(FindVisible, reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

 private:
  struct Search {
    DWORD pid;
    bool found;
  };
  static BOOL CALLBACK FindVisible(HWND hwnd, LPARAM param) {
    auto* s = reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == s->pid && IsWindowVisible(hwnd)) s->found = true;
    return !s->found;
  }

  PROCESS_INFORMATION process_{};
  bool started_ = false;
};

// How many handles, in all processes, are open on the object behind `handle`; 0 when
// the system does not say.
ULONG HandlesOn(HANDLE handle) {
  using Query = LONG(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
  static const auto query =
      reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  PUBLIC_OBJECT_BASIC_INFORMATION info{};
  if (!query || query(handle, ObjectBasicInformation, &info, sizeof(info), nullptr) != 0) return 0;
  return info.HandleCount;
}

DWORD ProcessOf(HWND hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  return pid;
}

class OneCopy : public DeviceScenario {};

TEST_F(OneCopy, SecondStartDuringAFlashBringsTheFirstForwardAndEnds) {
  const auto image = OsImage(300007);
  folder_.Write(kOsName, image);
  folder_.Write(kBootName, BootImage(100000));
  work_.Write(L"version.ver", VersionFileText(1, 3));
  // Slow enough that the flash is still under way when the second copy starts.
  StartDevice({"--version", "0x0103", "--pace-ms", "150"});
  StartProgram();
  BoxLog boxes(program_->ProcessId());
  TickAndUpdate();
  ASSERT_TRUE(ProgramRun::WaitUntil(
      [&] { return program_->Text(kStatus).rfind(L"Lädt ROM-Daten herunter:", 0) == 0 || !program_->Running(); },
      kUpdateWait))
      << "the flash never started";

  // The user has put the window away and starts the program again, from another folder.
  ShowWindowAsync(program_->Window(), SW_MINIMIZE);
  ASSERT_TRUE(ProgramRun::WaitUntil([&] { return IsIconic(program_->Window()) != FALSE; }, kShortWait));
  ProgramFolder otherFolder;
  otherFolder.Write(kOsName, image);
  otherFolder.Write(kBootName, BootImage(100000));
  BareRun second(otherFolder.Exe(), work_.Path());
  ASSERT_TRUE(second.Started());
  BoxLog secondBoxes(second.ProcessId());
  auto secondCode = second.WaitForExit(kShortWait);
  ASSERT_TRUE(secondCode.has_value()) << "the second copy did not end";
  EXPECT_EQ(*secondCode, 0u);
  EXPECT_TRUE(secondBoxes.Boxes().empty()) << Describe(secondBoxes.Boxes());

  EXPECT_TRUE(program_->Running()) << "the first copy must go on with its flash";
  EXPECT_TRUE(ProgramRun::WaitUntil([&] { return !IsIconic(program_->Window()); }, kShortWait))
      << "the first copy's window was not restored";
  EXPECT_TRUE(
      ProgramRun::WaitUntil([&] { return ProcessOf(GetForegroundWindow()) == program_->ProcessId(); }, kShortWait))
      << "the first copy did not come to the front";

  ExpectEndsWithZero(kUpdateWait);
  auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u) << Describe(shown);
  EXPECT_EQ(shown[0].caption, L"USB Update Success!");
  // The device met one program: one image, one closing command, nothing else.
  const std::string events = device_->Events();
  EXPECT_EQ(CountOf(events, "PIPE01: image of "), 1u) << events;
  EXPECT_EQ(CountOf(events, "command packet"), 1u) << events;
  EXPECT_TRUE(device_->ReceivedStream() == image);
}

// While the claim is held by a copy that shows no window (one that is ending, or one
// still starting), a new copy waits: it runs once the claim is free, and stays out
// if it never comes free.
TEST_F(OneCopy, StartWhileAnotherCopyHoldsTheClaim) {
  struct Case {
    const char* name;
    bool letGo;
  };
  const Case cases[] = {{"the other copy ends", true}, {"the other copy never lets go", false}};
  folder_.Write(kOsName, OsImage(300007));
  folder_.Write(kBootName, BootImage(100000));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE claim = CreateMutexW(nullptr, TRUE, kClaimName);
    ASSERT_TRUE(claim);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "a copy of the program is still running";
    BareRun run(folder_.Exe(), work_.Path());
    ASSERT_TRUE(run.Started());
    // It waits without a window of its own and without ending. It has met the held
    // claim once the name has a second handle, its own.
    ASSERT_TRUE(
        ProgramRun::WaitUntil([&] { return HandlesOn(claim) > 1 || run.WaitForExit(0).has_value(); }, kShortWait))
        << "the copy never asked for the claim";
    EXPECT_FALSE(run.WaitForExit(0).has_value());
    EXPECT_FALSE(run.ShowsAWindow());
    if (c.letGo) {
      ReleaseMutex(claim);
      CloseHandle(claim);
      EXPECT_TRUE(ProgramRun::WaitUntil([&] { return run.ShowsAWindow(); }, kShortWait))
          << "the copy did not start once the claim was free";
    } else {
      bool showedAWindow = false;
      std::optional<DWORD> code;
      ProgramRun::WaitUntil(
          [&] {
            showedAWindow = showedAWindow || run.ShowsAWindow();
            return (code = run.WaitForExit(0)).has_value();
          },
          kShortWait + 10000);
      ASSERT_TRUE(code.has_value()) << "the copy kept waiting";
      EXPECT_EQ(*code, 0u);
      EXPECT_FALSE(showedAWindow) << "the copy showed a window while another copy held the claim";
      ReleaseMutex(claim);
      CloseHandle(claim);
    }
  }
}

}  // namespace
}  // namespace e2e
