// What the shipped program carries besides its dialogs: the version resource taken
// from the project version.
#include <gtest/gtest.h>
#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

using namespace testing_support;

namespace {

std::wstring ShippedProgram() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"r47flash.exe";
}

// "1.2.3" as four numbers, missing ones 0, the way a version resource holds them.
std::vector<unsigned> FourParts(const std::string& version) {
  std::vector<unsigned> parts;
  std::istringstream in(version);
  std::string part;
  while (std::getline(in, part, '.')) parts.push_back(static_cast<unsigned>(std::stoul(part)));
  parts.resize(4, 0);
  return parts;
}

class VersionResource : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(ShippedProgram().c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version resource in " << Narrow(ShippedProgram());
    block_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(ShippedProgram().c_str(), 0, size, block_.data()));
  }
  std::wstring Text(const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    std::wstring key = std::wstring(L"\\StringFileInfo\\040704B0\\") + name;
    if (!VerQueryValueW(block_.data(), key.c_str(), &value, &length) || !value) return L"(none)";
    return static_cast<const wchar_t*>(value);
  }
  std::vector<BYTE> block_;
};

TEST_F(VersionResource, CarriesTheProjectVersion) {
  const std::vector<unsigned> expected = FourParts(R47_PROJECT_VERSION);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  const std::vector<unsigned> file = {HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                                      HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
  const std::vector<unsigned> product = {HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                                         HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS)};
  EXPECT_EQ(file, expected);
  EXPECT_EQ(product, expected);

  std::wstring text;
  for (size_t i = 0; i < expected.size(); ++i) text += (i ? L"." : L"") + std::to_wstring(expected[i]);
  EXPECT_EQ(Text(L"FileVersion"), text);
  EXPECT_EQ(Text(L"ProductVersion"), text);
  EXPECT_EQ(Text(L"ProductName"), L"Quon r47 Flash Tool");
}

}  // namespace
