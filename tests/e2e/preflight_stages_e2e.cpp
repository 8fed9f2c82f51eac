// The pre-flight as the user follows it: each stage named on the status line and in
// the log, Exit until the first byte, and where version.ver was looked for.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "device_scenario.h"

namespace e2e {
namespace {

const wchar_t kDownloading[] = L"Die Datei wird heruntergeladen... Bitte warten...";

std::wstring Query(int n) { return L"Boot-Loader-Version wird abgefragt… " + std::to_wstring(n) + L" von 10"; }
std::wstring Attempt(int n) { return L"Übertragung wird gestartet… Versuch " + std::to_wstring(n) + L" von 10"; }

bool Contains(const std::vector<std::wstring>& lines, const std::wstring& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The status lines the log recorded from the click (string 116; the idle device
// status comes before it) to the transfer's first text.
std::vector<std::wstring> PreflightStatusLines(const std::vector<std::wstring>& log) {
  std::vector<std::wstring> out;
  bool clicked = false;
  for (const auto& line : log) {
    if (line.rfind(L"status: \"Lädt ROM-Daten herunter", 0) == 0) break;
    if (line.rfind(L"status: \"Die Datei wird heruntergeladen", 0) == 0) clicked = true;
    if (clicked && line.rfind(L"status: \"", 0) == 0) out.push_back(line.substr(9, line.size() - 10));
  }
  return out;
}

class PreflightStages : public DeviceScenario {
 protected:
  void WriteFiles() {
    folder_.Write(kOsName, OsImage(300007));
    folder_.Write(kBootName, BootImage(100000));
    work_.Write(L"version.ver", VersionFileText(1, 3));
  }
};

struct StageCase {
  const char* name;
  std::vector<std::string> device;
  const wchar_t* chosen;  // the status line once the image is chosen
  int attempts;           // the attempt that finds the device
};

// A whole update of the boot image, followed on the window and in the log: string 116
// first, each version query, the versions and the image chosen, each search for the
// device, then the transfer's own texts.
TEST_F(PreflightStages, EachStageIsNamedOnTheStatusLineAndInTheLog) {
  const StageCase cases[] = {
      {"the device answers",
       {"--version", "0x0102"},
       L"Gerät: Boot-Loader 1.2 – benötigt: 1.3 – gewählt: Quon_r47Boot.ubi",
       1},
      // Reports without a version are no answer; the device then leaves the bus and
      // is plugged in again while the program looks for it.
      {"no answer, the device found late",
       {"--no-version", "--unplug-at", "after-reads:10"},
       L"Gerät: keine Antwort – benötigt: 1.3 – gewählt: Quon_r47Boot.ubi",
       3},
  };
  for (const StageCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFiles();
    StartDevice(c.device);
    StartProgram();
    if (HasFatalFailure()) return;
    BoxLog boxes(program_->ProcessId());
    WindowLog window(program_->ProcessId(), program_->Window(), {kExit});
    TickAndUpdate();

    ASSERT_TRUE(program_->WaitForText(kStatus, Query(3), kShortWait));
    if (c.attempts == 1) {
      program_->Settle();
      SaveScreenshot(L"e2e-preflight-query", program_->Window());
    }
    if (c.attempts > 1) {
      // The choice stands for the pause before the first attempt.
      if (program_->WaitForText(kStatus, c.chosen, kUpdateWait)) {
        program_->Settle();
        SaveScreenshot(L"e2e-preflight-chosen", program_->Window());
      }
      ASSERT_TRUE(program_->WaitForText(kStatus, Attempt(c.attempts - 1), kUpdateWait));
      device_->Plug();
    }
    ExpectEndsWithZero(kUpdateWait);
    ASSERT_EQ(boxes.Boxes().size(), 1u) << Describe(boxes.Boxes());
    EXPECT_EQ(boxes.Boxes()[0].caption, L"USB Update Success!");

    // The log has every line, however briefly it stood.
    std::vector<std::wstring> expected = {kDownloading};
    for (int i = 1; i <= 10; ++i) expected.push_back(Query(i));
    expected.push_back(c.chosen);
    for (int i = 1; i <= c.attempts; ++i) expected.push_back(Attempt(i));
    const auto log = LogOfRun(program_->ProcessId());
    EXPECT_EQ(PreflightStatusLines(log), expected) << Joined(log);
    EXPECT_NE(
        std::find_if(log.begin(), log.end(),
                     [](const std::wstring& l) { return l.rfind(L"status: \"Lädt ROM-Daten herunter:", 0) == 0; }),
        log.end())
        << Joined(log);

    // The window showed the ones that stand for a pause, in their order.
    auto texts = window.StatusTexts();
    std::vector<std::wstring> seen;
    for (const std::wstring& t : {std::wstring(kDownloading), Query(3), std::wstring(c.chosen)}) seen.push_back(t);
    if (c.attempts > 1) seen.push_back(Attempt(c.attempts - 1));
    auto at = texts.begin();
    for (const auto& t : seen) {
      at = std::find(at, texts.end(), t);
      EXPECT_NE(at, texts.end()) << "not shown in order: " << Narrow(t);
    }
  }
}

struct ExitCase {
  const char* name;
  std::vector<std::string> device;  // none: no device at all
  std::wstring status;              // pressed while the status line shows this
  enum How { Button, CloseBox, Escape } how;
};

// Exit, the close box and Escape during the version queries and the start attempts:
// the program ends as at idle, and the handheld never sees a data connection.
TEST_F(PreflightStages, ExitEndsTheProgramUntilTheFirstByte) {
  const ExitCase cases[] = {
      {"version queries, Exit", {"--version", "0x0103"}, Query(2), ExitCase::Button},
      // The second query is never answered: the read is in flight when Exit comes.
      {"a query the device leaves unanswered, Exit", {"--version-sequence", "0x0103,hang"}, L"", ExitCase::Button},
      {"version queries, close box", {"--version", "0x0103"}, Query(3), ExitCase::CloseBox},
      {"start attempts without a device, Escape", {}, Attempt(1), ExitCase::Escape},
      {"start attempts, the device gone after the queries, Exit",
       {"--version", "0x0103", "--unplug-at", "after-reads:10"},
       Attempt(2),
       ExitCase::Button},
  };
  WriteFiles();
  for (const ExitCase& c : cases) {
    SCOPED_TRACE(c.name);
    device_.reset();
    if (!c.device.empty()) StartDevice(c.device);
    StartProgram();
    if (HasFatalFailure()) return;
    BoxLog boxes(program_->ProcessId());
    TickAndUpdate();

    if (c.status.empty()) {
      ASSERT_TRUE(device_->WaitForEvent("no answer", kShortWait));
    } else {
      ASSERT_TRUE(program_->WaitForText(kStatus, c.status, kUpdateWait));
    }
    // Nothing has been sent: Exit alone is available (an attempt that found no device
    // gives it back for the pause that follows).
    ASSERT_TRUE(ProgramRun::WaitUntil([&] { return program_->Enabled(kExit); }, kShortWait));
    for (int id : {kUpdate, kAcknowledge, kNotes, kReadme}) EXPECT_FALSE(program_->Enabled(id)) << id;

    const DWORD pressed = GetTickCount();
    switch (c.how) {
      case ExitCase::Button:
        ASSERT_TRUE(program_->Click(kExit));
        break;
      case ExitCase::CloseBox:
        PostMessageW(program_->Window(), WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
      case ExitCase::Escape:
        PostMessageW(program_->Item(kExit), WM_KEYDOWN, VK_ESCAPE, 0);
        break;
    }
    ExpectEndsWithZero();
    // Measured for the notes, not judged here.
    std::cout << "[ measured ] " << c.name << ": ended " << (GetTickCount() - pressed) << " ms after the press"
              << std::endl;

    EXPECT_TRUE(boxes.Boxes().empty()) << Describe(boxes.Boxes());
    if (device_) {
      const std::string events = device_->Events();
      EXPECT_EQ(events.find("PIPE01"), std::string::npos) << "a data connection was opened:\n" << events;
    }
    const auto log = LogOfRun(program_->ProcessId());
    EXPECT_TRUE(Contains(log, L"update ended by the user before anything was sent")) << Joined(log);
    EXPECT_TRUE(Contains(log, L"r47flash ends; outcome: ended during the pre-flight")) << Joined(log);
  }
}

struct FolderCase {
  const char* name;
  const char* versionFile;  // null: none
  const wchar_t* line;      // the status line, before the folder
};

// Started from a folder without a usable version.ver (as a shortcut with another start
// folder does): before the click the status line names the file and that folder, and
// says the same at the click; the box adds where it looked and what to do; the log
// has both.
TEST_F(PreflightStages, AMissingVersionFileNamesTheFolderItWasLookedFor) {
  const FolderCase cases[] = {
      {"no version.ver", nullptr, L"version.ver fehlt in "},
      {"version.ver without MustUpdateEboot", "[Version]\r\nEbootHigh=1\r\nEbootLow=3\r\n",
       L"version.ver defekt in "},
  };
  for (const FolderCase& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramFolder folder;
    TempDir elsewhere(L"r47start");
    folder.Write(kOsName, OsImage(200000));
    folder.Write(kBootName, BootImage(100000));
    // The program's own folder holds one: it is not the one looked for.
    folder.Write(L"version.ver", VersionFileText(1, 3));
    if (c.versionFile) elsewhere.Write(L"version.ver", std::string(c.versionFile));
    std::wstring error;
    program_ = ProgramRun::Start(folder.Exe(), elsewhere.Path(), &error);
    ASSERT_TRUE(program_) << Narrow(error);
    std::wstring dir = elsewhere.Path();
    if (dir.size() > 3 && dir.back() == L'\\') dir.pop_back();
    const std::wstring expected = c.line + dir;
    EXPECT_TRUE(program_->WaitForText(kStatus, expected, kShortWait))
        << "before the click: " << Narrow(program_->Text(kStatus));
    std::wstring statusBehindTheBox;
    BoxLog boxes(program_->ProcessId(), [&](const BoxRecord&, HWND) { statusBehindTheBox = program_->Text(kStatus); });
    TickAndUpdate();
    ExpectEndsWithZero();

    auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u) << Describe(shown);
    EXPECT_EQ(shown[0].text, L"Datei version.ver kann nicht gefunden werden!\n\nDas Programm sucht version.ver im Ordner " +
                                 dir +
                                 L". Legen Sie version.ver in diesen Ordner, oder starten Sie r47flash.exe aus dem "
                                 L"Ordner, in dem version.ver liegt. Liegt die Datei schon dort, fehlt ihr einer der "
                                 L"Werte (siehe readme.txt).");
    EXPECT_EQ(statusBehindTheBox, expected);
    const auto log = LogOfRun(program_->ProcessId());
    EXPECT_TRUE(Contains(log, L"status: \"" + expected + L"\"")) << Joined(log);
  }
}

}  // namespace
}  // namespace e2e
