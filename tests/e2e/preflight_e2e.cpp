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
  EXPECT_EQ(program_->Text(kStatus),
            L"Kein Gerät im ROM-Flash-Modus gefunden. Bitte das Gerät in den ROM-Flash-Modus bringen (siehe "
            L"Hinweise).");
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
  const wchar_t* message;
};

const MissingCase kMissingCases[] = {
    {"nothing", false, false, false,
     L"Datei version.ver ,Quon_r47Boot.ubi ,Quon_r47PDA.ubi kann nicht gefunden werden!"},
    {"only the OS image", true, false, true, L"Datei Quon_r47Boot.ubi kann nicht gefunden werden!"},
    {"no version file", true, true, false, L"Datei version.ver kann nicht gefunden werden!"},
};

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
    BoxLog boxes(program->ProcessId());

    ASSERT_TRUE(program->Click(kAcknowledge));
    ASSERT_TRUE(ProgramRun::WaitUntil([&] { return program->Enabled(kUpdate); }, kShortWait));
    ASSERT_TRUE(program->Click(kUpdate));

    auto code = program->WaitForExit(kShortWait);
    ASSERT_TRUE(code.has_value()) << "the program did not end";
    EXPECT_EQ(*code, 0u);
    auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u) << Describe(shown);
    EXPECT_EQ(shown[0].caption, L"Error");
    EXPECT_EQ(shown[0].text, c.message);
    EXPECT_EQ(shown[0].icon, BoxRecord::Error);
    EXPECT_EQ(device_->Events().find("PIPE0"), std::string::npos) << "the device was consulted";
  }
}

}  // namespace
}  // namespace e2e
