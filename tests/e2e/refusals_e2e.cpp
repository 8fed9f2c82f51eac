// No refusal without a word: every image file that the program cannot use is named,
// with what is wrong and what to do. At start the status line says it and Update
// stays off; at the download start a box says it, the status line keeps its first
// line and the window is idle again. Nothing reaches the device, and the log has the
// whole text.
#include <fstream>
#include <iterator>

#include "device_scenario.h"
#include "reliability_report.h"

namespace e2e {
namespace {

enum class When { AtStart, AtDownloadStart };

struct RefusalRow {
  const char* name;
  When when;
  const wchar_t* file;        // the image file this row spoils or holds
  const char* content;        // its bytes (nullptr: a good image)
  size_t size;                // 0: exactly `content`
  bool held;                  // another program holds it without sharing
  const wchar_t* box;         // the message box's text (nullptr: no box)
  const wchar_t* statusLine;  // what the status line shows afterwards
};

const wchar_t kOsHeldAtStart[] = L"Quon_r47PDA.ubi ist gesperrt. Beenden Sie das andere Programm, starten Sie neu.";
const wchar_t kOsHeld[] =
    L"Datei Quon_r47PDA.ubi wird von einem anderen Programm verwendet.\nSchließen Sie das andere Programm und "
    L"versuchen Sie es erneut.";
const wchar_t kOsHeldLine[] = L"Datei Quon_r47PDA.ubi wird von einem anderen Programm verwendet.";

const RefusalRow kRows[] = {
    {"EmptyOsImage", When::AtStart, kOsName, "", 0, false, nullptr,
     L"Datei Quon_r47PDA.ubi ist zu kurz (0 Bytes). Besorgen Sie eine neue Kopie."},
    {"SixByteOsImage", When::AtStart, kOsName, "X000FF", 0, false, nullptr,
     L"Datei Quon_r47PDA.ubi ist zu kurz (6 Bytes). Besorgen Sie eine neue Kopie."},
    {"DamagedOsHeader", When::AtStart, kOsName, "X000FF\r\n", 300007, false, nullptr,
     L"Datei Quon_r47PDA.ubi ist beschädigt. Besorgen Sie eine neue Kopie."},
    {"OsImageHeldAtStart", When::AtStart, kOsName, nullptr, 0, true, nullptr, kOsHeldAtStart},
    {"BootImageHeldAtStart", When::AtStart, kBootName, nullptr, 0, true, nullptr,
     L"Quon_r47Boot.ubi ist gesperrt. Beenden Sie das andere Programm, starten Sie neu."},
    // The device runs the version file's boot loader: the OS image is the one to send.
    {"OsImageHeldAtDownloadStart", When::AtDownloadStart, kOsName, nullptr, 0, true, kOsHeld, kOsHeldLine},
};

// The whole text of the run's log, as written (UTF-8).
std::wstring LogTextOfRun(DWORD processId) {
  const std::wstring path = ToolLogOfRun(processId);
  if (path.empty()) return L"";
  std::ifstream in(Narrow(path), std::ios::binary);
  return Widen(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
}

// Each row runs in a folder of its own, with its own program and handheld.
void RunRow(const RefusalRow& r) {
  SCOPED_TRACE(r.name);
  ProgramFolder folder;
  TempDir work(L"r47work");
  folder.Write(kOsName, OsImage(300007));
  folder.Write(kBootName, BootImage(100000));
  if (r.content) {
    folder.Write(
        r.file, r.size ? MakeImage(r.content, r.size) : std::vector<uint8_t>(r.content, r.content + strlen(r.content)));
  }
  work.Write(L"version.ver", VersionFileText(1, 3));
  auto device = simctl::SimDevice::Start({"--version", "0x0103", "--step", "50", "--pace-ms", "0"});
  ASSERT_TRUE(device) << simctl::LastError();
  auto hold = [&] {
    HANDLE h = CreateFileW(folder.File(r.file).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    return h;
  };
  HANDLE holder = r.held && r.when == When::AtStart ? hold() : INVALID_HANDLE_VALUE;
  std::wstring error;
  auto program = ProgramRun::Start(folder.Exe(), work.Path(), &error);
  ASSERT_TRUE(program) << Narrow(error);
  BoxLog boxes(program->ProcessId());
  ASSERT_TRUE(program->Click(kAcknowledge));

  if (r.when == When::AtStart) {
    EXPECT_TRUE(program->WaitForText(kStatus, r.statusLine, kShortWait)) << Narrow(program->Text(kStatus));
    // Ticked, and still nothing to press.
    ASSERT_TRUE(WaitForTick(*program));
    EXPECT_FALSE(program->Enabled(kUpdate));
    EXPECT_EQ(program->Text(kStatus), r.statusLine);
  } else {
    ASSERT_TRUE(ProgramRun::WaitUntil([&] { return program->Enabled(kUpdate); }, kShortWait));
    holder = hold();
    ASSERT_TRUE(program->Click(kUpdate));
    ASSERT_TRUE(boxes.WaitForBoxes(1, kUpdateWait));
    EXPECT_TRUE(ProgramRun::WaitUntil([&] { return ControlsIdle(*program); }, kShortWait)) << "not idle again";
    EXPECT_EQ(program->Text(kStatus), r.statusLine);
  }
  if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);

  const std::vector<BoxRecord> shown = boxes.Boxes();
  if (r.box) {
    ASSERT_EQ(shown.size(), 1u) << Describe(shown);
    EXPECT_EQ(shown[0].caption, L"Error");
    EXPECT_EQ(shown[0].icon, BoxRecord::Error);
    EXPECT_EQ(shown[0].text, r.box);
  } else {
    EXPECT_TRUE(shown.empty()) << Describe(shown);
  }
  const EndedByExit end = EndWithExit(*program);
  ASSERT_TRUE(end.ended) << "the program did not end with 0 on Exit";
  const std::string logged = Joined(end.log);
  // What the run showed up to its end: the refusal's line stayed the last one, and no
  // second attempt was still to come when Exit ended the run.
  const std::vector<std::wstring> status = end.StatusLines();
  ASSERT_FALSE(status.empty()) << logged;
  EXPECT_EQ(status.back(), LoggedStatus(r.statusLine)) << logged;
  EXPECT_FALSE(end.UpdateCutShort()) << logged;
  EXPECT_EQ(end.BoxesLogged(), shown.size()) << logged;
  if (r.when == When::AtStart) {
    EXPECT_EQ(status.size(), 1u) << logged;
    // The window never looked at the bus (the handheld records each look as an opening
    // of its interface), so no look can come to overwrite the line.
    EXPECT_EQ(CountOf(device->Events(), "interface: open"), 0u) << device->Events();
  }
  EXPECT_NE(LogTextOfRun(program->ProcessId()).find(L"status: \"" + std::wstring(r.statusLine) + L"\""),
            std::wstring::npos)
      << "the log lacks the status line's whole text";
  program.reset();
  device->Stop();
  EXPECT_TRUE(device->ReceivedStream().empty()) << "the device received image bytes";
}

TEST(Refusals, NameTheFileAndWhatToDo) {
  for (const RefusalRow& r : kRows) RunRow(r);
}

}  // namespace
}  // namespace e2e
