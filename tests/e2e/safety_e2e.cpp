// What keeps a wrong image or a wrong device from being written, against the real
// program and simulated handhelds whose records show what reached each of them:
// whole version answers only, a busy handheld left alone, one handheld per run, and
// an image checked against its checksum file before its first byte goes out.
#include <fstream>
#include <iterator>

#include "device_scenario.h"
#include "images/sha256.h"

namespace e2e {
namespace {

const wchar_t kOsDone[] = L"Image erfolgreich aktualisiert. r47 wird automatisch neu gestartet.";
const wchar_t kNotFound[] = L"Das Gerät kann im ROM-Flash-Modus nicht gefunden werden.";
const wchar_t kBroken[] =
    L"USB-Verbindung unterbrochen! Zum Aktualisieren des ROM-Bilds wiederholen Sie den Vorgang zum Aktualisieren des "
    L"Bildes.";
const wchar_t kSeveral[] = L"Mehrere Geräte im ROM-Flash-Modus. Trennen Sie alle bis auf eines vom PC.";
const wchar_t kBusy[] = L"Das Gerät ist noch beschäftigt. Bringen Sie es neu in den ROM-Flash-Modus.";

// What a handheld's record says reached it.
struct Reached {
  size_t statusOpens, dataOpens, interfaceOpens;
  size_t imageBytes;
  bool command;
};
Reached WhatReached(const simctl::SimDevice& d) {
  const std::string e = d.Events();
  return {CountOf(e, "PIPE00: open"), CountOf(e, "PIPE01: open"), CountOf(e, "interface: open"),
          d.ReceivedStream().size(), !d.CommandPacket().empty()};
}

// The run's log as bytes (UTF-8), "" when there is none.
std::string LogBytes(DWORD processId) {
  std::ifstream in(Narrow(ToolLogOfRun(processId)), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Safety : public DeviceScenario {
 protected:
  void TearDown() override {
    if (HasFailure() && second_) std::cout << "second device events:\n" << second_->Events() << std::endl;
    DeviceScenario::TearDown();
    if (second_) second_->Stop();
  }

  // Both images beside the program and a version file asking for 1.3; the OS image.
  auto WriteFolder(size_t osSize) {
    auto os = OsImage(osSize);
    folder_.Write(kOsName, os);
    folder_.Write(kBootName, BootImage(100000));
    work_.Write(L"version.ver", VersionFileText(1, 3));
    return os;
  }

  // Presses Update and waits for the run's end: the program ends, or the window is
  // idle again with a box shown.
  std::vector<BoxRecord> RunUpdate(BoxLog& boxes, const std::function<void()>& during = nullptr) {
    TickAndUpdate();
    if (during) during();
    EXPECT_TRUE(ProgramRun::WaitUntil(
        [&] { return !program_->Running() || (!boxes.Boxes().empty() && program_->Enabled(kUpdate)); },
        kUpdateWait + 60000))
        << "the run did not end";
    return boxes.Boxes();
  }

  void ExpectIdleWith(const std::vector<BoxRecord>& shown, const std::wstring& text) {
    ASSERT_EQ(shown.size(), 1u) << Describe(shown);
    EXPECT_EQ(shown[0].caption, L"Error");
    EXPECT_EQ(shown[0].text, text);
    EXPECT_EQ(shown[0].icon, BoxRecord::Error);
    EXPECT_TRUE(program_->Running());
    EXPECT_TRUE(program_->Enabled(kUpdate));
    EXPECT_TRUE(program_->Enabled(kExit));
    EXPECT_EQ(program_->Text(kStatus), text.substr(0, text.find(L'\n')));
  }

  std::unique_ptr<simctl::SimDevice> second_;
};

// ---- Whole answers

struct AnswerCase {
  const char* sequence;  // the handheld's answers to the version queries
  bool osImage;          // true: the OS image goes; false: nothing is sent (busy)
};

class WholeAnswers : public Safety {
 protected:
  // A version file naming 1.3; small images, so no flash monitor follows.
  void Run(const AnswerCase& c) {
    const auto os = WriteFolder(120000);
    StartDevice({"--version-sequence", c.sequence});
    StartProgram();
    if (HasFatalFailure()) return;
    BoxLog boxes(program_->ProcessId());
    auto shown = RunUpdate(boxes);
    Reached r = WhatReached(*device_);
    if (c.osImage) {
      ExpectEndsWithZero(kShortWait);
      ASSERT_EQ(shown.size(), 1u) << Describe(shown);
      EXPECT_EQ(shown[0].text, kOsDone);
      EXPECT_TRUE(device_->ReceivedStream() == os) << "the device did not receive the OS image unchanged";
    } else {
      ExpectIdleWith(shown, kBusy);
      EXPECT_EQ(r.dataOpens, 0u) << "a busy handheld's data pipe was opened";
      EXPECT_EQ(r.imageBytes, 0u);
    }
  }
};

// Nine answers 1.3, then a tenth report without its version bytes: the nine decide.
TEST_F(WholeAnswers, TenthReportOfSevenBytesIsNoVersion) { Run({"0x0103*9,short:7:0x0103", true}); }
TEST_F(WholeAnswers, TenthReportOfFiveBytesIsNoVersion) { Run({"0x0103*9,short:5:0x0103", true}); }
// Still formatting after an interrupted flash: nothing is sent.
TEST_F(WholeAnswers, BusyHandheldIsLeftAlone) { Run({"busy", false}); }

// ---- One handheld per run

struct TwoCase {
  std::vector<std::string> first;  // the handheld present at the click (1.2 or 1.3)
  enum When { AtClick, AfterFirstAnswer, WhenDataOpens } secondPlugged;
  const wchar_t* box;
  bool firstGetsImage;  // the image reaches the first handheld whole
};

class TwoHandhelds : public Safety {
 protected:
  void Run(const TwoCase& c) {
    const auto os = WriteFolder(300007);
    StartDevice(c.first);
    // The second one is at 1.3, as the version file asks: a program that took it for
    // the first would write the OS image into it, or poll it for progress.
    auto plugSecond = [&] {
      second_ = simctl::SimDevice::Start({"--version", "0x0103"});
      ASSERT_TRUE(second_) << simctl::LastError();
    };
    if (c.secondPlugged == TwoCase::AtClick) plugSecond();
    if (HasFatalFailure()) return;
    StartProgram();
    if (HasFatalFailure()) return;
    // The second handheld's interface as the run's box shows, while the window is still
    // busy: once idle again, the window's own look at the bus opens every interface.
    size_t secondInterfaceOpensAtBox = 0;
    BoxLog boxes(program_->ProcessId(), [&](const BoxRecord&, HWND) {
      if (second_) secondInterfaceOpensAtBox = CountOf(second_->Events(), "interface: open");
    });
    auto shown = RunUpdate(boxes, [&] {
      const char* mark = c.secondPlugged == TwoCase::AfterFirstAnswer ? "PIPE00: report taken" : "PIPE01: open";
      if (c.secondPlugged != TwoCase::AtClick) {
        ASSERT_TRUE(device_->WaitForEvent(mark, kUpdateWait)) << "the first handheld was never reached";
        plugSecond();
      }
    });
    if (HasFatalFailure()) return;

    ASSERT_EQ(shown.size(), 1u) << Describe(shown);
    EXPECT_EQ(shown[0].text, c.box);
    Reached first = WhatReached(*device_);
    EXPECT_EQ(first.imageBytes, c.firstGetsImage ? os.size() : 0u);
    // Nothing but the count at the click reaches a handheld that was not asked.
    Reached second = WhatReached(*second_);
    EXPECT_EQ(second.statusOpens, 0u);
    EXPECT_EQ(second.dataOpens, 0u);
    EXPECT_EQ(second.imageBytes, 0u);
    EXPECT_FALSE(second.command);
    if (c.secondPlugged != TwoCase::AtClick) {
      EXPECT_EQ(secondInterfaceOpensAtBox, 0u);
    }
    if (c.secondPlugged == TwoCase::AtClick) {
      EXPECT_EQ(first.statusOpens, 0u) << "the refusal comes before the first query";
      ExpectIdleWith(shown, kSeveral);
    }
    if (shown[0].text == kOsDone) {
      EXPECT_TRUE(first.command) << "the command packet went elsewhere";
      // The log names the device the run used.
      ExpectEndsWithZero(kShortWait);
      std::string log = LogBytes(program_->ProcessId());
      EXPECT_NE(log.find("device of this run: " + device_->DevicePath()), std::string::npos) << log;
    }
  }
};

TEST_F(TwoHandhelds, BothPresentAtTheClickAreRefused) {
  Run({{"--version", "0x0103"}, TwoCase::AtClick, kSeveral, false});
}
// The first (1.2, boot image due) leaves after the ten queries; the second stays.
TEST_F(TwoHandhelds, FirstGoneAfterTheQueriesIsNotReplacedByTheSecond) {
  Run({{"--version", "0x0102", "--unplug-at", "after-reads:10"}, TwoCase::AfterFirstAnswer, kNotFound, false});
}
TEST_F(TwoHandhelds, SecondPluggedInMidStreamIsNotDisturbed) {
  Run({{"--version", "0x0103"}, TwoCase::WhenDataOpens, kOsDone, true});
}
TEST_F(TwoHandhelds, FirstGoneMidMonitorEndsTheRunWithoutTouchingTheSecond) {
  Run({{"--version", "0x0103", "--unplug-at", "format:40"}, TwoCase::WhenDataOpens, kBroken, true});
}

// ---- The image's checksum

class Checksum : public Safety {};

std::string DigestOf(const std::vector<uint8_t>& bytes) {
  // The test's own reckoning, by the built-in implementation; the program uses the
  // system's. Both are held against the standard's vectors elsewhere.
  return HexDigest(Sha256Of(bytes.data(), bytes.size(), false));
}

TEST_F(Checksum, MatchingListLetsTheImageGo) {
  const auto os = OsImage(120000), boot = BootImage(100000);
  folder_.Write(kOsName, os);
  folder_.Write(kBootName, boot);
  folder_.Write(L"SHA256SUMS", DigestOf(boot) + "  Quon_r47Boot.ubi\n" + DigestOf(os) + " *Quon_r47PDA.ubi\n");
  work_.Write(L"version.ver", VersionFileText(1, 3));
  StartDevice({"--version", "0x0103"});
  StartProgram();
  if (HasFatalFailure()) return;
  BoxLog boxes(program_->ProcessId());
  auto shown = RunUpdate(boxes);
  ExpectEndsWithZero(kShortWait);
  ASSERT_EQ(shown.size(), 1u) << Describe(shown);
  EXPECT_EQ(shown[0].text, kOsDone);
  EXPECT_TRUE(device_->ReceivedStream() == os);
  std::string log = LogBytes(program_->ProcessId());
  EXPECT_NE(log.find("image Quon_r47PDA.ubi SHA-256 " + DigestOf(os)), std::string::npos) << log;
  EXPECT_NE(log.find("checksum file SHA256SUMS: matches"), std::string::npos) << log;
}

// An image that is damaged, or that a checksum file beside it does not vouch for, is
// refused with its own box before the data pipe opens: the handheld sees no data
// connection at all, not even an empty one.
enum class NotVouched { DamagedBootImage, OwnChecksumDisagrees, ListNamesOnlyTheOther };

class NotVouchedFor : public Checksum {
 protected:
  void Run(NotVouched what);
};

void NotVouchedFor::Run(NotVouched what) {
  const auto os = OsImage(300007);
  const auto damagedBoot = std::vector<uint8_t>(100000, 0);
  const std::string wrong(64, 'e');
  folder_.Write(kOsName, os);
  folder_.Write(kBootName, damagedBoot);
  std::wstring text;
  switch (what) {
    case NotVouched::DamagedBootImage:
      text = L"Image-Datei fehlerhaft!";
      break;
    case NotVouched::OwnChecksumDisagrees:
      folder_.Write(L"Quon_r47PDA.ubi.sha256", wrong + "  Quon_r47PDA.ubi\r\n");
      text =
          L"Quon_r47PDA.ubi passt nicht zur Prüfsumme in Quon_r47PDA.ubi.sha256.\nEs wurde nichts an das Gerät "
          L"gesendet.\n\nErwartet:\n" +
          Widen(wrong) + L"\n\nBerechnet:\n" + Widen(DigestOf(os));
      break;
    case NotVouched::ListNamesOnlyTheOther:
      folder_.Write(L"SHA256SUMS", DigestOf(damagedBoot) + "  Quon_r47Boot.ubi\n");
      text =
          L"Die Prüfsummendatei SHA256SUMS nennt Quon_r47PDA.ubi nicht.\nEs wurde nichts an das Gerät "
          L"gesendet.\n\nLaden Sie die Image-Datei und die zugehörige Prüfsummendatei bitte erneut herunter und "
          L"legen Sie beide in den Ordner des Programms.\n\nBerechnet:\n" +
          Widen(DigestOf(os));
      break;
  }
  work_.Write(L"version.ver", VersionFileText(1, 3));
  // 1.2 asks for the boot image, 1.3 for the OS image.
  StartDevice({"--version", what == NotVouched::DamagedBootImage ? "0x0102" : "0x0103"});
  StartProgram();
  if (HasFatalFailure()) return;
  BoxLog boxes(program_->ProcessId());
  auto shown = RunUpdate(boxes);
  ExpectIdleWith(shown, text);
  EXPECT_EQ(WhatReached(*device_).dataOpens, 0u) << device_->Events();
}

TEST_F(NotVouchedFor, DamagedBootImage) { Run(NotVouched::DamagedBootImage); }
TEST_F(NotVouchedFor, OwnChecksumDisagrees) { Run(NotVouched::OwnChecksumDisagrees); }
TEST_F(NotVouchedFor, ListNamingOnlyTheOtherImage) { Run(NotVouched::ListNamesOnlyTheOther); }

}  // namespace
}  // namespace e2e
