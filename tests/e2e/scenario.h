// What every end-to-end scenario sets up: a program folder with the tool and its
// files, a working directory for the version file, and the running program.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "program_driver.h"
#include "test_support.h"

namespace e2e {

using namespace testing_support;

// The user's view of the main window, by control id.
enum Control : int {
  kUpdate = 1,
  kExit = 2,
  kAcknowledge = 1000,
  kSizeField = 1002,
  kProgress = 1003,
  kStatus = 1004,
  kNotes = 1007,
  kReadme = 1008,
  kImageList = 1010,
};

inline const wchar_t kBootName[] = L"Quon_r47Boot.ubi";
inline const wchar_t kOsName[] = L"Quon_r47PDA.ubi";
inline const wchar_t kMainTitle[] = L"Quon r47 Flash Tool";

// Bounds for waiting on the program. Generous: they only keep a broken run from
// hanging; no scenario depends on how fast anything happens (longer under qemu-i386).
inline const DWORD kShortWait = testing_support::HangBound(15000);
inline const DWORD kUpdateWait = testing_support::HangBound(90000);  // version queries, start attempts, transfer

inline std::vector<uint8_t> OsImage(size_t size) { return MakeImage("X000FF\n", size); }
inline std::vector<uint8_t> BootImage(size_t size) { return MakeImage("B000FF\n", size); }

class Scenario : public ::testing::Test {
 protected:
  // Starts the program from its folder with the working directory as current folder.
  void StartProgram() {
    std::wstring error;
    program_ = ProgramRun::Start(folder_.Exe(), work_.Path(), &error);
    ASSERT_TRUE(program_) << Narrow(error);
  }
  // Ticks the acknowledgement box and presses Update, as the user does.
  void TickAndUpdate() {
    ASSERT_TRUE(program_->Click(kAcknowledge));
    ASSERT_TRUE(ProgramRun::WaitUntil([&] { return program_->Enabled(kUpdate); }, kShortWait))
        << "ticking the box did not enable Update";
    ASSERT_TRUE(program_->Click(kUpdate));
  }
  void ExpectEndsWithZero(DWORD timeoutMs = kShortWait) {
    auto code = program_->WaitForExit(timeoutMs);
    ASSERT_TRUE(code.has_value()) << "the program did not end";
    EXPECT_EQ(*code, 0u);
  }

  ProgramFolder folder_;
  TempDir work_{L"r47work"};
  std::unique_ptr<ProgramRun> program_;
};

// Waits until the window has handled a click on the acknowledgement box: the program
// answers the question for the tick only between the messages it handles, so once the
// tick shows, the click's whole handling is done.
inline bool WaitForTick(const ProgramRun& p) {
  return ProgramRun::WaitUntil([&] { return p.Checked(kAcknowledge); }, kShortWait);
}

// The log's line when Exit ends an update that is still waiting between its steps
// (for a query, or for a start attempt that is still to come).
inline const wchar_t kUpdateCutShort[] = L"update ended by the user before anything was sent";

// A program that stayed with its window idle, ended by its user with Exit. Its log is
// complete once it is gone and records every box and status line, so what could
// still have come shows there: an update still under way was cut short by Exit.
struct EndedByExit {
  bool ended = false;  // Exit was there to press, and the program ended with 0
  std::vector<std::wstring> log;
  bool UpdateCutShort() const { return !LinesStartingWith(log, kUpdateCutShort).empty(); }
  size_t BoxesLogged() const { return LinesStartingWith(log, L"message box [").size(); }
  std::vector<std::wstring> StatusLines() const { return LinesStartingWith(log, L"status: "); }
};

inline EndedByExit EndWithExit(const ProgramRun& p) {
  EndedByExit e;
  if (p.Click(kExit)) {
    auto code = p.WaitForExit(kShortWait);
    e.ended = code.has_value() && *code == 0;
  }
  if (!p.Running()) e.log = LogOfRun(p.ProcessId());
  return e;
}

// A status line as the log has it.
inline std::wstring LoggedStatus(const std::wstring& text) { return L"status: \"" + text + L"\""; }

inline std::string Describe(const std::vector<BoxRecord>& boxes) {
  std::string out;
  for (const auto& b : boxes) out += "[" + Narrow(b.caption) + "] " + Narrow(b.text) + "\n";
  return out.empty() ? "(no box)" : out;
}

}  // namespace e2e
