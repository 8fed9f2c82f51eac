// Demo driver: runs r47flash.exe as a user would when nobody sits at the screen.
// It ticks the box, presses Update, prints every status line, progress value and
// message box as they appear, answers the boxes with OK, saves screenshots to
// the screenshots folder of its build tree and ends with the program's exit code.
//
// Usage: r47demo.exe --program <path of r47flash.exe> [--workdir <folder with version.ver>]
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "program_driver.h"

using namespace testing_support;

namespace {

constexpr int kUpdate = 1, kExit = 2, kAcknowledge = 1000, kSizeField = 1002, kStatus = 1004, kNotes = 1007,
              kReadme = 1008;
constexpr DWORD kRunBound = 10 * 60 * 1000;  // a flash takes well under a minute

void Say(const std::wstring& line) {
  std::string text = Narrow(line) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::wstring OneLine(std::wstring text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'\r') continue;
    out += c == L'\n' ? std::wstring(L"\n      ") : std::wstring(1, c);
  }
  return out;
}

void Shot(const std::wstring& name, HWND window, const std::vector<HWND>& extra = {}) {
  std::wstring path = SaveScreenshot(name, window, extra);
  Say(path.empty() ? L"  (Bildschirmfoto " + name + L" nicht möglich)" : L"  Bildschirmfoto: " + path);
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::wstring program, workdir;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::wstring key = argv[i];
    if (key == L"--program")
      program = argv[i + 1];
    else if (key == L"--workdir")
      workdir = argv[i + 1];
  }
  LocalFree(argv);
  if (program.empty()) {
    Say(L"usage: r47demo.exe --program <r47flash.exe> [--workdir <folder with version.ver>]");
    return 2;
  }

  std::wstring error;
  auto run = ProgramRun::Start(program, workdir, &error);
  if (!run) {
    Say(L"r47flash.exe did not start: " + error);
    return 3;
  }
  Say(L"r47flash.exe läuft (Prozess " + std::to_wstring(run->ProcessId()) + L").");
  run->Settle();
  Shot(L"main-window", run->Window());

  int boxCount = 0;
  BoxLog boxes(run->ProcessId(), [&](const BoxRecord& box, HWND hwnd) {
    ++boxCount;
    Say(L"Meldung [" + box.caption + L"]: " + OneLine(box.text));
    Sleep(300);  // let it paint before the picture
    Shot(box.caption == L"USB Update Success!" ? L"closing-box" : L"message-box-" + std::to_wstring(boxCount),
         run->Window(), {hwnd});
    Say(L"  -> OK");
  });

  Say(L"Häkchen bei \"Ich verstehe die Hinweise und die readme-Datei.\"");
  run->Click(kAcknowledge);
  ProgramRun::WaitUntil([&] { return run->Enabled(kUpdate); }, 10000);
  Say(L"Aktualisieren");
  if (!run->Click(kUpdate)) {
    Say(L"Aktualisieren ist nicht anklickbar.");
    return 4;
  }

  std::wstring lastStatus, lastSize;
  int lastPosition = -1;
  bool midShot = false;
  const ULONGLONG deadline = GetTickCount64() + kRunBound;
  while (run->Running() && GetTickCount64() < deadline) {
    std::wstring status = run->Text(kStatus), size = run->Text(kSizeField);
    int position = run->ProgressPos();
    if (!run->Running() || !IsWindow(run->Window())) break;
    if (!size.empty() && size != lastSize) Say(L"ROM Image-Größe: " + size);
    if (!status.empty() && status != lastStatus) Say(L"Status: " + status);
    if (position != lastPosition) Say(L"Fortschritt: " + std::to_wstring(position));
    lastSize = size.empty() ? lastSize : size;
    lastStatus = status.empty() ? lastStatus : status;
    lastPosition = position;
    if (!midShot && position >= 20 && position < 95) {
      Shot(L"mid-flash", run->Window());
      midShot = true;
    }
    // After a failure that leaves the program usable, a demo has nothing more to do.
    if (status == L"Das Gerät kann im ROM-Flash-Modus nicht gefunden werden." && run->Enabled(kExit) &&
        run->Enabled(kNotes) && run->Enabled(kReadme)) {
      Say(L"Beenden");
      run->Click(kExit);
    }
    Sleep(50);
  }
  auto code = run->WaitForExit(10000);
  if (!code) {
    Say(L"r47flash.exe endet nicht; abgebrochen.");
    return 5;
  }
  Say(L"r47flash.exe beendet mit Exit-Code " + std::to_wstring(*code) + L".");
  std::wstring log = ToolLogOfRun(run->ProcessId());
  Say(log.empty() ? L"Kein Protokoll gefunden." : L"Protokoll: " + log);
  return static_cast<int>(*code);
}
