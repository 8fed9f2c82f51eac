// What the user sees before anything reaches the device: the idle window, the Notes
// dialog, and the missing-files message that ends the program.
#include "device_scenario.h"

namespace e2e {
namespace {

class Preflight : public DeviceScenario {};

TEST_F(Preflight, IdleWindowAndNotesDialog) {
  folder_.Write(kOsName, OsImage(4096));
  folder_.Write(kBootName, BootImage(4096));
  work_.Write(L"version.ver", VersionFileText(1, 3));
  StartProgram();

  EXPECT_FALSE(program_->Enabled(kUpdate));
  EXPECT_TRUE(program_->Enabled(kAcknowledge));
  EXPECT_TRUE(program_->Enabled(kExit));
  // No handheld on the bus: the idle status line says so.
  EXPECT_EQ(program_->Text(kStatus), L"Kein Gerät im ROM-Flash-Modus gefunden (siehe Hinweise, Schritte 4 bis 7).");
  program_->Settle();
  SaveScreenshot(L"e2e-idle-window", program_->Window());

  ASSERT_TRUE(program_->Click(kNotes));
  HWND notes = nullptr;
  ASSERT_TRUE(
      ProgramRun::WaitUntil([&] { return (notes = program_->FindDialog(L"Hinweise")) != nullptr; }, kShortWait));
  program_->Settle();
  SaveScreenshot(L"e2e-notes-dialog", notes);

  // Its OK button closes it; the main window stays as it was.
  PostMessageW(notes, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(notes, IDCANCEL)));
  EXPECT_TRUE(ProgramRun::WaitUntil([&] { return !IsWindow(notes); }, kShortWait));
  EXPECT_TRUE(program_->Running());

  // The keyboard works in it too: Enter presses its OK button.
  ASSERT_TRUE(program_->Click(kNotes));
  ASSERT_TRUE(
      ProgramRun::WaitUntil([&] { return (notes = program_->FindDialog(L"Hinweise")) != nullptr; }, kShortWait));
  program_->Settle();
  PostMessageW(GetDlgItem(notes, IDCANCEL), WM_KEYDOWN, VK_RETURN, 0);
  EXPECT_TRUE(ProgramRun::WaitUntil([&] { return !IsWindow(notes); }, kShortWait)) << "Enter did not close Notes";

  ASSERT_TRUE(program_->Click(kExit));
  ExpectEndsWithZero();
}

struct MissingCase {
  const char* name;
  bool osImage, bootImage, versionFile;
  const wchar_t* idleLine;  // before the click; a version.ver missing: the start folder follows
  const wchar_t* message;   // a version.ver missing: the paragraph with the start folder follows
};

const MissingCase kMissingCases[] = {
    {"nothing", false, false, false, L"Quon_r47Boot.ubi und Quon_r47PDA.ubi fehlen im Ordner von r47flash.exe.",
     L"Datei version.ver ,Quon_r47Boot.ubi ,Quon_r47PDA.ubi kann nicht gefunden werden!"},
    {"only the OS image", true, false, true, L"Quon_r47Boot.ubi fehlt im Ordner von r47flash.exe.",
     L"Datei Quon_r47Boot.ubi kann nicht gefunden werden!"},
    {"no version file", true, true, false, L"version.ver fehlt in ", L"Datei version.ver kann nicht gefunden werden!"},
};

// The start folder as the program names it.
std::wstring Folder(std::wstring path) {
  if (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

// What is missing is named on the status line before the click; Update still works,
// and its box names every missing file (with the start folder for version.ver); then
// the program ends without consulting the device.

TEST_F(Preflight, MissingFilesAreNamedAndTheProgramEnds) {
  for (const MissingCase& c : kMissingCases) {
    SCOPED_TRACE(c.name);
    ProgramFolder folder;
    TempDir work(L"r47work");
    if (c.osImage) folder.Write(kOsName, OsImage(200000));
    if (c.bootImage) folder.Write(kBootName, BootImage(100000));
    if (c.versionFile) work.Write(L"version.ver", VersionFileText(1, 3));
    StartDevice({"--version", "0x0103"});
    std::wstring error;
    auto program = ProgramRun::Start(folder.Exe(), work.Path(), &error);
    ASSERT_TRUE(program) << Narrow(error);
    const std::wstring idleLine = c.idleLine + (c.osImage && c.bootImage ? Folder(work.Path()) : L"");
    EXPECT_TRUE(program->WaitForText(kStatus, idleLine, kShortWait)) << Narrow(program->Text(kStatus));
    BoxLog boxes(program->ProcessId(), [&](const BoxRecord&, HWND box) {
      if (!c.osImage || !c.bootImage || c.versionFile) return;  // the picture: version.ver alone
      Sleep(300);  // let it paint before the picture
      SaveScreenshot(L"e2e-missing-files-box", program->Window(), {box});
    });

    ASSERT_TRUE(program->Click(kAcknowledge));
    ASSERT_TRUE(ProgramRun::WaitUntil([&] { return program->Enabled(kUpdate); }, kShortWait));
    ASSERT_TRUE(program->Click(kUpdate));

    auto code = program->WaitForExit(kShortWait);
    ASSERT_TRUE(code.has_value()) << "the program did not end";
    EXPECT_EQ(*code, 0u);
    auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u) << Describe(shown);
    EXPECT_EQ(shown[0].caption, L"Error");
    const std::wstring message =
        c.message + (c.versionFile ? L""
                                   : L"\n\nDas Programm sucht version.ver im Ordner " + Folder(work.Path()) +
                                         L". Legen Sie version.ver in diesen Ordner, oder starten Sie r47flash.exe "
                                         L"aus dem Ordner, in dem version.ver liegt. Liegt die Datei schon dort, "
                                         L"fehlt ihr einer der Werte (siehe readme.txt).");
    EXPECT_EQ(shown[0].text, message);
    EXPECT_EQ(shown[0].icon, BoxRecord::Error);
    EXPECT_EQ(device_->Events().find("PIPE0"), std::string::npos) << "the device was consulted";
  }
}

}  // namespace
}  // namespace e2e
