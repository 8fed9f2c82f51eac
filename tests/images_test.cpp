// Image header and image discovery, with fixture files in temporary program folders.
#include <gtest/gtest.h>

#include <algorithm>

#include "images/checksum_file.h"
#include "images/discovery.h"
#include "images/image_header.h"
#include "images/sha256.h"
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
  bool found;                                 // at least one image file exists
  ImageRefusal refused = ImageRefusal::None;  // what the window is told at start
  const wchar_t* refusedName = nullptr;
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
  EXPECT_EQ(again.refused.reason, c.refused);
  EXPECT_EQ(again.refused.name ? std::wstring(again.refused.name) : L"",
            c.refusedName ? std::wstring(c.refusedName) : L"");
}

INSTANTIATE_TEST_SUITE_P(
    Table, Discovery,
    ::testing::Values(
        DiscoveryCase{"Neither", nullptr, nullptr, {}, kNoImage, true, false},
        DiscoveryCase{"OsGoodNoBoot", "X000FF\nrest", nullptr, {kOsImageName}, kOsImageOnly, true, true},
        DiscoveryCase{
            "OsBadNoBoot", "X000FF\r\n", nullptr, {}, kNoImage, false, true, ImageRefusal::Damaged, kOsImageName},
        DiscoveryCase{"OsEmptyNoBoot", "", nullptr, {}, kNoImage, false, true, ImageRefusal::TooShort, kOsImageName},
        DiscoveryCase{"OsSixBytes",
                      "X000FF",
                      "B000FF\n",
                      {kBootImageName},
                      kBothImages,
                      false,
                      true,
                      ImageRefusal::TooShort,
                      kOsImageName},
        DiscoveryCase{"BootOnlyGood", nullptr, "B000FF\n", {kBootImageName}, kBootImageOnly, true, true},
        DiscoveryCase{"BootOnlyBad",
                      nullptr,
                      "garbage",
                      {kBootImageName},
                      kBootImageOnly,
                      false,
                      true,
                      ImageRefusal::Damaged,
                      kBootImageName},
        DiscoveryCase{
            "BothOsGood", "X000FF\n", "not even a header", {kBootImageName, kOsImageName}, kBothImages, true, true},
        DiscoveryCase{"BothOsBad",
                      "x000FF\n",
                      "B000FF\n",
                      {kBootImageName},
                      kBothImages,
                      false,
                      true,
                      ImageRefusal::Damaged,
                      kOsImageName},
        // Either header in either file: the kind is decided at download time.
        DiscoveryCase{"OsFileWithBootHeader", "B000FF\n", nullptr, {kOsImageName}, kOsImageOnly, true, true}),
    [](const ::testing::TestParamInfo<DiscoveryCase>& info) { return std::string(info.param.name); });

// A file that another program holds (opened without sharing) is there: it is named as
// held, never as missing, and keeps Update off.
TEST(DiscoveryOfHeldFiles, NamesTheHeldFileAndKeepsUpdateOff) {
  const struct {
    const wchar_t* held;
    bool otherPresent;
    std::vector<std::wstring> list;
  } cases[] = {
      {kOsImageName, true, {kBootImageName}},
      {kOsImageName, false, {}},
      {kBootImageName, true, {kOsImageName}},
      {kBootImageName, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.held) + (c.otherPresent ? ", other image present" : ", alone"));
    TempDir dir;
    const bool os = std::wstring(c.held) == kOsImageName;
    dir.Write(c.held, MakeImage(os ? kOs : kBoot, 4096));
    if (c.otherPresent) dir.Write(os ? kBootImageName : kOsImageName, MakeImage(os ? kBoot : kOs, 4096));
    HANDLE holder = CreateFileW((dir.Path() + c.held).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const ImageDiscovery found = DiscoverImagesIn(dir.Path());
    CloseHandle(holder);
    EXPECT_EQ(found.refused.reason, ImageRefusal::Locked);
    EXPECT_EQ(found.refused.name ? std::wstring(found.refused.name) : L"", c.held);
    EXPECT_EQ(found.refused.systemError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(found.found);
    EXPECT_FALSE(found.updateAllowed);
    std::vector<std::wstring> listed(found.listed.begin(), found.listed.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, c.list);
  }
}

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

TEST(Sha256, KnownVectorsBySystemAndBuiltIn) {
  const std::string million(1000000, 'a');
  const struct {
    std::string data;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    for (bool system : {true, false}) {
      // Pieces of uneven sizes, across the 64-byte blocks, as a file is read.
      Sha256 hash(system);
      size_t at = 0, piece = 1;
      while (at < c.data.size()) {
        size_t n = std::min(piece, c.data.size() - at);
        hash.Update(c.data.data() + at, n);
        at += n;
        piece = piece * 3 + 1;
      }
      Sha256Digest digest;
      ASSERT_TRUE(hash.Finish(&digest));
      EXPECT_EQ(HexDigest(digest), c.digest) << (system ? "system" : "built-in") << ", " << c.data.size() << " bytes";
    }
  }
}

TEST(ChecksumFile, FindsTheImagesEntry) {
  const std::string a(64, 'a'), b(64, 'b'), upper(64, 'A');
  using S = ChecksumListing::Status;
  const struct {
    const char* what;
    std::string text;
    bool bareDigest;
    S status;
    std::string digest;
  } cases[] = {
      {"sha256sum text mode", a + "  Quon_r47PDA.ubi\n", false, S::Found, a},
      {"binary mode, CRLF", a + " *Quon_r47PDA.ubi\r\n", false, S::Found, a},
      {"among others", b + "  Quon_r47Boot.ubi\n" + a + "  Quon_r47PDA.ubi\n", false, S::Found, a},
      {"upper-case digest, other case of name", upper + "  quon_r47pda.UBI", false, S::Found, a},
      {"relative to the folder", a + "  ./Quon_r47PDA.ubi\n", false, S::Found, a},
      {"byte-order mark", "\xEF\xBB\xBF" + a + "  Quon_r47PDA.ubi\n", false, S::Found, a},
      {"other image only", b + "  Quon_r47Boot.ubi\n", false, S::NotListed, ""},
      {"digest alone, own file", a + "\n", true, S::Found, a},
      {"digest alone, list", a + "\n", false, S::NotListed, ""},
      {"one blank only", a + " Quon_r47PDA.ubi\n", false, S::NotListed, ""},
      {"digest one short", a.substr(1) + "  Quon_r47PDA.ubi\n", false, S::NotListed, ""},
      {"not hex", std::string(64, 'g') + "  Quon_r47PDA.ubi\n", false, S::NotListed, ""},
      {"two entries that disagree", a + "  Quon_r47PDA.ubi\n" + b + "  Quon_r47PDA.ubi\n", false, S::Ambiguous, ""},
      {"empty", "", true, S::NotListed, ""},
  };
  for (const auto& c : cases) {
    ChecksumListing l = FindInChecksumText(c.text, "Quon_r47PDA.ubi", c.bareDigest);
    EXPECT_EQ(l.status, c.status) << c.what;
    EXPECT_EQ(l.sha256, c.digest) << c.what;
  }
}

TEST(ChecksumFile, WhichFilesBesideTheImageApply) {
  const std::string a(64, 'a'), b(64, 'b');
  const struct {
    const char* what;
    std::string own, list;  // "-": no such file
    // file, digest ("?" unreadable, "not listed" a list that leaves the image out)
    std::vector<std::pair<std::wstring, std::string>> expected;
  } cases[] = {
      {"none", "-", "-", {}},
      {"own file", a + "  Quon_r47PDA.ubi\n", "-", {{L"Quon_r47PDA.ubi.sha256", a}}},
      {"list naming it", "-", a + "  Quon_r47PDA.ubi\n", {{L"SHA256SUMS", a}}},
      // A list of the others vouches for nothing: the image is refused, not let through.
      {"list naming only the other image", "-", b + "  Quon_r47Boot.ubi\n", {{L"SHA256SUMS", "not listed"}}},
      {"empty list", "-", "", {{L"SHA256SUMS", "not listed"}}},
      {"own file without a digest", "garbage\n", "-", {{L"Quon_r47PDA.ubi.sha256", "?"}}},
      {"list with disagreeing entries",
       "-",
       a + "  Quon_r47PDA.ubi\n" + b + "  Quon_r47PDA.ubi\n",
       {{L"SHA256SUMS", "?"}}},
      {"both", a + "\n", b + "  Quon_r47PDA.ubi\n", {{L"Quon_r47PDA.ubi.sha256", a}, {L"SHA256SUMS", b}}},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (c.own != "-") dir.Write(L"Quon_r47PDA.ubi.sha256", c.own);
    if (c.list != "-") dir.Write(L"SHA256SUMS", c.list);
    std::vector<ExpectedChecksum> found = FindExpectedChecksums(dir.Path(), L"Quon_r47PDA.ubi");
    ASSERT_EQ(found.size(), c.expected.size()) << c.what;
    for (size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].file, c.expected[i].first) << c.what;
      EXPECT_EQ(!found[i].listed    ? "not listed"
                : found[i].readable ? found[i].sha256
                                    : "?",
                c.expected[i].second)
          << c.what;
    }
  }
}

}  // namespace
