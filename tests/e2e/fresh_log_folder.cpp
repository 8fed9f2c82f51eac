// Every scenario starts with an empty log folder. The program reads the logs that
// earlier runs left (a notice about a flash that did not complete, the second step
// after a boot loader), so a scenario would otherwise see what the one before it in
// the same lane did, and depend on the order the tests run in. Tests that run the
// program once per row of a table clear it before each row too.
#include <gtest/gtest.h>

#include "program_driver.h"

namespace {

class FreshLogFolder : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { testing_support::ClearToolLogFolder(); }
};

// Registered before main runs the tests; GoogleTest owns and frees the listener.
[[maybe_unused]] const bool kRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshLogFolder);
  return true;
}();

}  // namespace
