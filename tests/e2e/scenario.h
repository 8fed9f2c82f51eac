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

inline std::string Describe(const std::vector<BoxRecord>& boxes) {
  std::string out;
  for (const auto& b : boxes) out += "[" + Narrow(b.caption) + "] " + Narrow(b.text) + "\n";
  return out.empty() ? "(no box)" : out;
}

}  // namespace e2e
