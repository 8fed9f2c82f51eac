// Image header and image discovery, with fixture files in temporary program folders.
#include <gtest/gtest.h>

#include <algorithm>

#include "images/discovery.h"
#include "images/image_header.h"
#include "res/resource.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const std::string kOs = "X000FF\n";
const std::string kBoot = "B000FF\n";

TEST(ImageHeader, DecidesByTheFirstSevenBytesOnly) {
  struct Case {
    std::string bytes;
    ImageKind kind;
  } cases[] = {
      {"X000FF\n", ImageKind::Os},
      {"B000FF\n", ImageKind::Boot},
      {"X000FF\nanything after it", ImageKind::Os},
      {"B000FF\n\xff\x00\x01", ImageKind::Boot},
      {"x000FF\n", ImageKind::Damaged},    // case-sensitive
      {"X000FF\r\n", ImageKind::Damaged},  // CR before LF
      {"X000ff\n", ImageKind::Damaged},
      {"X000FF", ImageKind::Damaged},  // six bytes
      {"", ImageKind::Damaged},
      {"Y000FF\n", ImageKind::Damaged},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckImageHeader(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.kind)
        << "header: " << c.bytes;
  }
  EXPECT_EQ(CheckImageHeader(nullptr, 7), ImageKind::Damaged);
}

struct DiscoveryCase {
  const char* name;
  const char* osContent;    // nullptr: no file
  const char* bootContent;  // nullptr: no file
  std::vector<std::wstring> list;
  ImageSet set;
  bool allowed;
  bool found;  // at least one image file exists
};

class Discovery : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(Discovery, ListSetAndFlagFollowTheFilesPresent) {
  const DiscoveryCase& c = GetParam();
  TempDir dir;
  if (c.osContent) dir.Write(kOsImageName, std::string(c.osContent));
  if (c.bootContent) dir.Write(kBootImageName, std::string(c.bootContent));
  TestWindow window(dir.Path());
  EXPECT_EQ(window.ListEntries(), c.list);
  EXPECT_EQ(window.state().found.set, c.set);
  EXPECT_EQ(window.state().found.updateAllowed, c.allowed);
  const ImageDiscovery again = DiscoverImagesIn(dir.Path());
  EXPECT_EQ(again.found, c.found);
  std::vector<std::wstring> listed(again.listed.begin(), again.listed.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, c.list) << "a second discovery starts from an empty list";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Discovery,
    ::testing::Values(
        DiscoveryCase{"Neither", nullptr, nullptr, {}, kNoImage, true, false},
        DiscoveryCase{"OsGoodNoBoot", "X000FF\nrest", nullptr, {kOsImageName}, kOsImageOnly, true, true},
        DiscoveryCase{"OsBadNoBoot", "X000FF\r\n", nullptr, {}, kNoImage, false, true},
        DiscoveryCase{"OsEmptyNoBoot", "", nullptr, {}, kNoImage, false, true},
        DiscoveryCase{"BootOnlyGood", nullptr, "B000FF\n", {kBootImageName}, kBootImageOnly, true, true},
        DiscoveryCase{"BootOnlyBad", nullptr, "garbage", {kBootImageName}, kBootImageOnly, false, true},
        DiscoveryCase{
            "BothOsGood", "X000FF\n", "not even a header", {kBootImageName, kOsImageName}, kBothImages, true, true},
        DiscoveryCase{"BothOsBad", "x000FF\n", "B000FF\n", {kBootImageName}, kBothImages, false, true},
        // Either header in either file: the kind is decided at download time.
        DiscoveryCase{"OsFileWithBootHeader", "B000FF\n", nullptr, {kOsImageName}, kOsImageOnly, true, true}),
    [](const ::testing::TestParamInfo<DiscoveryCase>& info) { return std::string(info.param.name); });

// Without an OS image its size is taken as 1, never 0: no step of the progress
// arithmetic divides by it.
TEST(DiscoverySizes, RecordsTheSizesFound) {
  const struct {
    uint32_t osFile, bootFile;  // 0: no OS image file
    uint32_t os, boot;          // the sizes found
  } cases[] = {{1048576, 262143, 1048576, 262143}, {0, 5000, 1, 5000}};
  for (const auto& c : cases) {
    TempDir dir;
    if (c.osFile) dir.Write(kOsImageName, MakeImage(kOs, c.osFile));
    dir.Write(kBootImageName, MakeImage(kBoot, c.bootFile));
    const ImageDiscovery found = DiscoverImagesIn(dir.Path());
    EXPECT_EQ(found.osSize, c.os) << c.osFile;
    EXPECT_EQ(found.bootSize, c.boot) << c.osFile;
  }
}

TEST(DiscoveryPaths, FolderLongerThanTheClassicLimitsStillFindsItsImages) {
  TempDir dir;
  std::wstring deep = dir.MakeDeepFolder(700);
  ASSERT_GT(deep.size(), 512u);
  HANDLE f =
      CreateFileW((L"\\\\?\\" + deep + kOsImageName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  WriteFile(f, kOs.data(), 7, &n, nullptr);
  CloseHandle(f);
  TestWindow window(deep);
  EXPECT_EQ(window.ListEntries(), std::vector<std::wstring>{kOsImageName});
  EXPECT_TRUE(window.state().found.updateAllowed);
}

TEST(DiscoveryPaths, FolderNamesOutsideTheSystemCodePage) {
  for (const wchar_t* name : {L"\u041f\u0440\u043e\u0448\u0438\u0432\u043a\u0430", L"\u56fa\u4ef6\u66f4\u65b0"}) {
    TempDir dir(name);
    dir.Write(kOsImageName, MakeImage(kOs, 100));
    dir.Write(kBootImageName, MakeImage(kBoot, 100));
    TestWindow window(dir.Path());
    EXPECT_EQ(window.ListEntries(), (std::vector<std::wstring>{kBootImageName, kOsImageName}));
    EXPECT_EQ(window.state().found.set, kBothImages);
  }
}

}  // namespace
