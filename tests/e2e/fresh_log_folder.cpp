// Every scenario starts with an empty log folder. The program reads the logs that
// earlier runs left (a notice about a flash that did not complete, the second step
// after a boot loader), so a scenario would otherwise see what the one before it in
// the same lane did, and depend on the order the tests run in.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "program_driver.h"

namespace {

class FreshLogFolder : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    const std::wstring folder = testing_support::ToolLogFolder();
    if (folder.empty()) return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
};

// Registered before main runs the tests; GoogleTest owns and frees the listener.
[[maybe_unused]] const bool kRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshLogFolder);
  return true;
}();

}  // namespace
