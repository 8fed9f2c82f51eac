// Bad inputs, the way a user's disk has them: images that are empty, cut short, of
// the wrong header, a folder, locked, deleted or replaced after the start, beyond
// 32 bits; version files that are empty, garbage, huge, UTF-16, LF-only, without
// their section or with values that are no numbers or out of range; program folders
// with non-ASCII names, deep below the path limit, or read-only. Each row states what
// the user sees and what the device receives; the run writes reports/bad-inputs.md.
#include <algorithm>
#include <functional>
#include <sstream>

#include "device_scenario.h"
#include "reliability_report.h"

namespace e2e {
namespace {

// The box names the file, then the folder where it was looked for (the row's own).
const wchar_t kVersionFileMissing[] =
    L"Datei version.ver kann nicht gefunden werden!\n\nDas Programm sucht version.ver im Ordner ";
const wchar_t kOsMissing[] = L"Datei Quon_r47PDA.ubi kann nicht gefunden werden!";
const wchar_t kOsHeld[] =
    L"Datei Quon_r47PDA.ubi wird von einem anderen Programm verwendet.\nSchließen Sie das andere Programm und "
    L"versuchen Sie es erneut.";

constexpr size_t kOsSize = 300007;
constexpr size_t kBootSize = 100000;
constexpr DWORD kBound = 90000;

// One row's files and whatever it holds on to (a lock), released at its end.
struct RowFiles {
  explicit RowFiles(const std::wstring& hint = L"r47prog", size_t minChars = 0) : folder(hint, minChars) {}
  ~RowFiles() {
    if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
    // Read-only files would outlast the folder's removal.
    for (const wchar_t* name : {kOsName, kBootName, L"r47flash.exe", L"readme.txt"})
      SetFileAttributesW(LongPath(folder.File(name)).c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesW(LongPath(folder.Path()).c_str(), FILE_ATTRIBUTE_DIRECTORY);
  }
  ProgramFolder folder;
  TempDir work{L"r47work"};
  HANDLE lock = INVALID_HANDLE_VALUE;
  std::vector<uint8_t> replacement;  // what the OS image was replaced with after the start
};

enum class Sent { OsImage, BootImage, Replacement, Nothing };
enum class End { Ends, Idle, NotStarted };  // NotStarted: Update never becomes available

struct Row {
  const char* name;
  std::function<void(RowFiles&)> before;      // changes to the usual files, before the start
  std::function<void(RowFiles&)> afterStart;  // between the start and Update, or null
  const wchar_t* caption;                     // null: no message at all
  const wchar_t* text;
  bool textIsPrefix;
  End end;
  Sent sent;
  bool representative;
  const wchar_t* hint = L"r47prog";
  size_t minChars = 0;
};

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }
void OsFile(RowFiles& s, const std::vector<uint8_t>& bytes) { s.folder.Write(kOsName, bytes); }
void VersionFile(RowFiles& s, const std::vector<uint8_t>& bytes) { s.work.Write(L"version.ver", bytes); }

std::vector<uint8_t> Utf16WithBom(const std::wstring& text) {
  std::vector<uint8_t> out = {0xFF, 0xFE};
  for (wchar_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

// A file of the given size whose first bytes are the OS header and whose rest the file
// system keeps as a hole.
void SparseOsImage(RowFiles& s, uint64_t size) {
  HANDLE f =
      CreateFileW(LongPath(s.folder.File(kOsName)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  WriteFile(f, "X000FF\n", 7, &n, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  EXPECT_TRUE(SetFilePointerEx(f, end, nullptr, FILE_BEGIN) && SetEndOfFile(f));
  CloseHandle(f);
}

const Row kRows[] = {
    // Images.
    {"image: OS image of 0 bytes", [](RowFiles& s) { OsFile(s, {}); }, nullptr, nullptr, nullptr, false,
     End::NotStarted, Sent::Nothing, false},
    {"image: OS image of 6 bytes", [](RowFiles& s) { OsFile(s, Bytes("X000FF")); }, nullptr, nullptr, nullptr, false,
     End::NotStarted, Sent::Nothing, false},
    {"image: OS image of 7 bytes, the header alone", [](RowFiles& s) { OsFile(s, Bytes("X000FF\n")); }, nullptr,
     kSuccessCaption, kOsDoneText, false, End::Ends, Sent::OsImage, false},
    {"image: header ends in CR LF", [](RowFiles& s) { OsFile(s, MakeImage("X000FF\r\n", kOsSize)); }, nullptr, nullptr,
     nullptr, false, End::NotStarted, Sent::Nothing, false},
    {"image: header in lower case", [](RowFiles& s) { OsFile(s, MakeImage("x000ff\n", kOsSize)); }, nullptr, nullptr,
     nullptr, false, End::NotStarted, Sent::Nothing, false},
    // The header, not the file name, says what the image is: the closing text follows it.
    {"image: boot header in the OS image's file", [](RowFiles& s) { OsFile(s, MakeImage("B000FF\n", kOsSize)); },
     nullptr, kSuccessCaption, kBootDoneStart, true, End::Ends, Sent::OsImage, false},
    {"image: a folder named like the OS image",
     [](RowFiles& s) {
       DeleteFileW(LongPath(s.folder.File(kOsName)).c_str());
       EXPECT_TRUE(CreateDirectoryW(LongPath(s.folder.File(kOsName)).c_str(), nullptr));
     },
     nullptr, L"Error", kOsMissing, false, End::Ends, Sent::Nothing, false},
    {"image: OS image 4 GiB + 10 bytes (sparse)", [](RowFiles& s) { SparseOsImage(s, 0x10000000AULL); }, nullptr,
     nullptr, nullptr, false, End::NotStarted, Sent::Nothing, false},
    {"image: OS image locked by another program after the start", nullptr,
     [](RowFiles& s) {
       s.lock =
           CreateFileW(LongPath(s.folder.File(kOsName)).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
       EXPECT_NE(s.lock, INVALID_HANDLE_VALUE);
     },
     L"Error", kOsHeld, false, End::Idle, Sent::Nothing, false},
    {"image: OS image deleted after the start", nullptr,
     [](RowFiles& s) { DeleteFileW(LongPath(s.folder.File(kOsName)).c_str()); }, L"Error", kOsMissing, false, End::Idle,
     Sent::Nothing, false},
    {"image: OS image replaced after the start", nullptr,
     [](RowFiles& s) {
       s.replacement = OsImage(400000);
       std::reverse(s.replacement.begin() + 7, s.replacement.end());
       OsFile(s, s.replacement);
     },
     kSuccessCaption, kOsDoneText, false, End::Ends, Sent::Replacement, true},
    // Version files.
    {"version file: empty", [](RowFiles& s) { VersionFile(s, {}); }, nullptr, L"Error", kVersionFileMissing, true,
     End::Ends, Sent::Nothing, false},
    {"version file: binary garbage",
     [](RowFiles& s) {
       std::vector<uint8_t> garbage(4096);
       for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>((i * 131 + 17) ^ (i >> 3));
       VersionFile(s, garbage);
     },
     nullptr, L"Error", kVersionFileMissing, true, End::Ends, Sent::Nothing, false},
    {"version file: 10 MB",
     [](RowFiles& s) {
       std::string text = VersionFileText(1, 3);
       while (text.size() < 10u * 1024 * 1024) text += "; filler line of a very long version file\r\n";
       VersionFile(s, Bytes(text));
     },
     nullptr, kSuccessCaption, kOsDoneText, false, End::Ends, Sent::OsImage, false},
    {"version file: UTF-16 with BOM",
     [](RowFiles& s) {
       VersionFile(s, Utf16WithBom(L"[Version]\r\nEbootHigh=1\r\nEbootLow=3\r\nMustUpdateEboot=0\r\n"));
     },
     nullptr, kSuccessCaption, kOsDoneText, false, End::Ends, Sent::OsImage, false},
    {"version file: LF only",
     [](RowFiles& s) { VersionFile(s, Bytes("[Version]\nEbootHigh=1\nEbootLow=3\nMustUpdateEboot=0\n")); }, nullptr,
     kSuccessCaption, kOsDoneText, false, End::Ends, Sent::OsImage, false},
    {"version file: no [Version] section",
     [](RowFiles& s) { VersionFile(s, Bytes("EbootHigh=1\r\nEbootLow=3\r\nMustUpdateEboot=0\r\n")); }, nullptr,
     L"Error", kVersionFileMissing, true, End::Ends, Sent::Nothing, false},
    // No number reads as 0: version 0.0 is older than the device's 1.3, the OS image goes.
    {"version file: values that are no numbers",
     [](RowFiles& s) { VersionFile(s, Bytes("[Version]\r\nEbootHigh=eins\r\nEbootLow=x3\r\nMustUpdateEboot=ja\r\n")); },
     nullptr, kSuccessCaption, kOsDoneText, false, End::Ends, Sent::OsImage, false},
    {"version file: negative values",
     [](RowFiles& s) {
       VersionFile(s, Bytes("[Version]\r\nEbootHigh=-1\r\nEbootLow=-3\r\nMustUpdateEboot=-27884766\r\n"));
     },
     nullptr, kSuccessCaption, kOsDoneText, false, End::Ends, Sent::OsImage, false},
    // Saturated, not wrapped: a boot loader "newer" than any device's is due.
    {"version file: values above 2^31",
     [](RowFiles& s) {
       VersionFile(s, Bytes("[Version]\r\nEbootHigh=3000000000\r\nEbootLow=4294967299\r\nMustUpdateEboot=0\r\n"));
     },
     nullptr, kSuccessCaption, kBootDoneStart, true, End::Ends, Sent::BootImage, false},
    // Program folders.
    {"folder: name with umlauts and Chinese characters", nullptr, nullptr, kSuccessCaption, kOsDoneText, false,
     End::Ends, Sent::OsImage, true, L"r47prog-Grüße-快閃"},
    // As deep as a program can be started from (the path of its images just below 260).
    {"folder: 210 to 243 characters deep", nullptr, nullptr, kSuccessCaption, kOsDoneText, false, End::Ends,
     Sent::OsImage, false, L"r47prog", 210},
    {"folder: read-only, with read-only files",
     [](RowFiles& s) {
       for (const wchar_t* name : {kOsName, kBootName, L"r47flash.exe", L"readme.txt"})
         SetFileAttributesW(LongPath(s.folder.File(name)).c_str(), FILE_ATTRIBUTE_READONLY);
       SetFileAttributesW(LongPath(s.folder.Path()).c_str(), FILE_ATTRIBUTE_READONLY);
     },
     nullptr, kSuccessCaption, kOsDoneText, false, End::Ends, Sent::OsImage, false},
};

const char* Name(End e) {
  return e == End::Ends ? "ends (0)" : e == End::Idle ? "idle, running" : "Update stays unavailable";
}
const char* Name(Sent s) {
  return s == Sent::OsImage       ? "the OS image"
         : s == Sent::BootImage   ? "the boot image"
         : s == Sent::Replacement ? "the replacement"
                                  : "nothing";
}

class BadInputs : public ::testing::Test {
 protected:
  void RunRows(bool representativeOnly) {
    const std::wstring readme = ReadmeText();
    ASSERT_FALSE(readme.empty()) << "readme.txt beside the program";
    std::ostringstream md;
    md << ReportHead("Bad inputs", representativeOnly, "rows",
                     {"input", "expected message", "observed message", "expected end", "observed end", "expected bytes",
                      "observed bytes", "size field", "verdict"});
    int faults = 0, rows = 0;
    for (const Row& r : kRows) {
      if (representativeOnly && !r.representative) continue;
      SCOPED_TRACE(r.name);
      ++rows;
      RowFiles s(r.hint, r.minChars);
      const auto os = OsImage(kOsSize);
      const auto boot = BootImage(kBootSize);
      s.folder.Write(kOsName, os);
      s.folder.Write(kBootName, boot);
      s.work.Write(L"version.ver", VersionFileText(1, 3));
      if (r.before) r.before(s);
      // The OS image as the row left it (never read when it is not what goes: it may be huge).
      const std::vector<uint8_t> osOnDisk =
          r.sent == Sent::OsImage ? ReadFileBytes(s.folder.File(kOsName)) : std::vector<uint8_t>();

      ClearToolLogFolder();  // the row before may have failed mid-flash
      auto device = simctl::SimDevice::Start({"--version", "0x0103", "--step", "50", "--pace-ms", "0"});
      ASSERT_TRUE(device) << simctl::LastError();
      simctl::SetBusDevices({device->DevicePath()});
      std::wstring error;
      auto program = ProgramRun::Start(s.folder.Exe(), s.work.Path(), &error);
      EXPECT_TRUE(program) << Narrow(error);
      if (!program) {
        ++faults;
        md << "| " << r.name << " | | | | the program did not start: " << MdCell(error) << " | | | | start |\n";
        continue;
      }
      std::wstring sizeShown;
      BoxLog boxes(program->ProcessId(), [&](const BoxRecord&, HWND) {
        if (sizeShown.empty()) sizeShown = program->Text(kSizeField);
      });
      ASSERT_TRUE(program->Click(kAcknowledge));
      ASSERT_TRUE(WaitForTick(*program));
      const bool updateAvailable = program->Enabled(kUpdate);
      bool inBound = true;
      if (updateAvailable) {
        if (r.afterStart) r.afterStart(s);
        EXPECT_TRUE(program->Click(kUpdate));
        inBound = ProgramRun::WaitUntil(
            [&] { return !program->Running() || (!boxes.Boxes().empty() && ControlsIdle(*program)); }, kBound);
      }
      // A program that is to end is waited for: after its end nothing more can show.
      auto code = program->WaitForExit(r.end == End::Ends ? 6500 : 0);
      bool idle = !code && ControlsIdle(*program);
      // One that stays is ended by its user; its log says whether anything was still to
      // come, has every box it showed, and says why Update stayed unavailable.
      bool overAtExit = false, refusedAtStart = false;
      if (!code && (idle || !updateAvailable)) {
        const EndedByExit end = EndWithExit(*program);
        overAtExit = end.ended && !end.UpdateCutShort() && end.BoxesLogged() == boxes.Boxes().size();
        refusedAtStart = !LinesStartingWith(end.log, L"image Quon_r47PDA.ubi refused at start: ").empty();
        if (!overAtExit) std::cout << r.name << ": log:\n" << Joined(end.log) << std::endl;
      }
      std::vector<BoxRecord> shown = boxes.Boxes();
      program.reset();
      device->Stop();
      const auto received = device->ReceivedStream();

      const std::vector<uint8_t>* expectedBytes = r.sent == Sent::OsImage       ? &osOnDisk
                                                  : r.sent == Sent::BootImage   ? &boot
                                                  : r.sent == Sent::Replacement ? &s.replacement
                                                                                : nullptr;
      bool bytesOk = expectedBytes ? received == *expectedBytes : received.empty();

      bool messageOk = r.caption == nullptr ? shown.empty() : ShowsMessage(shown, r.caption, r.text, r.textIsPrefix);
      bool endOk = r.end == End::NotStarted ? (!updateAvailable && refusedAtStart && overAtExit)
                   : r.end == End::Ends     ? (code && *code == 0)
                                            : (idle && overAtExit);
      bool explained = shown.empty() || ReadmeExplains(readme, shown.back());
      std::vector<std::string> problems;
      if (!inBound) problems.push_back("hung");
      if (!messageOk) problems.push_back("message");
      if (!endOk) problems.push_back("end");
      if (!bytesOk) problems.push_back("bytes");
      if (!explained) problems.push_back("no message the readme explains");
      EXPECT_TRUE(problems.empty()) << Narrow(DescribeBoxes(shown)) << " update available " << updateAvailable
                                    << " ended " << code.has_value() << " idle " << idle << " over at Exit "
                                    << overAtExit << " refused at start " << refusedAtStart << " received "
                                    << received.size();
      if (!problems.empty()) ++faults;

      std::string observedEnd = updateAvailable  ? ObservedEnd(code.has_value(), code.value_or(0), idle, overAtExit)
                                : refusedAtStart ? "Update stays unavailable"
                                                 : "Update unavailable, no refusal logged";
      md << "| " << r.name << " | "
         << (r.caption ? MdCell(L"[" + std::wstring(r.caption) + L"] " + r.text) : std::string("(none)")) << " | "
         << (shown.empty() ? std::string("(none)") : MdCell(DescribeBoxes(shown))) << " | " << Name(r.end) << " | "
         << observedEnd << " | " << Name(r.sent)
         << (expectedBytes ? " (" + std::to_string(expectedBytes->size()) + ")" : "") << " | " << received.size()
         << (bytesOk ? "" : " (other bytes)") << " | " << (sizeShown.empty() ? std::string("-") : MdCell(sizeShown))
         << " | " << Verdict(problems) << " |\n";
    }
    md << "\n" << rows << " rows, " << faults << " not as expected.\n";
    EXPECT_TRUE(WriteReport(L"bad-inputs.md", md.str())) << "reports/bad-inputs.md not written";
  }
};

TEST_F(BadInputs, RepresentativeRows) { RunRows(true); }

// Every row: several minutes, run by scripts/reliability.
TEST_F(BadInputs, DISABLED_AllRows) { RunRows(false); }

}  // namespace
}  // namespace e2e
