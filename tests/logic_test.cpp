// Decisions and arithmetic that need no window and no device, as tables of cases.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "app/device_watch_rules.h"
#include "app/failure_table.h"
#include "app/report_outbox.h"
#include "app/status_texts.h"
#include "app/update_rules.h"
#include "app/way_back_rules.h"
#include "device/messages.h"
#include "flash/monitor_rules.h"
#include "flash/progress.h"
#include "images/version_file.h"
#include "res/resource.h"
#include "test_support.h"
#include "text/text.h"

using namespace testing_support;

namespace {

TEST(VersionRules, ChooseTheImage) {
  struct Case {
    bool must;
    int high, low;
    uint16_t device;
    int index;
  } cases[] = {
      {false, 1, 3, 0x0103, kOsImageIndex},    // exactly the named boot loader
      {false, 1, 3, 0x0102, kBootImageIndex},  // same major, older minor
      {false, 1, 3, 0x0104, kBootImageIndex},  // same major, newer minor
      {false, 1, 3, 0x0200, kOsImageIndex},    // newer major on the device
      {false, 1, 3, 0x0005, kBootImageIndex},  // older major on the device
      {false, 1, 3, 0x0000, kBootImageIndex},  // no answer
      {false, 0, 0, 0x0000, kOsImageIndex},    // no answer matches 0.0
      {true, 1, 3, 0x0103, kBootImageIndex},   // forced
      {true, 0, 0, 0xFFFF, kBootImageIndex},
      {false, 1, 0x90, 0x0190, kOsImageIndex},  // a minor of 0x80 or more stays in its byte
      {false, -1, 3, 0x0003, kOsImageIndex},    // signed: -1 is below every device major
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseImageIndex(c.must, c.high, c.low, c.device), c.index)
        << "must=" << c.must << " file " << c.high << "." << c.low << " device 0x" << std::hex << c.device;
  }
}

// A version reply (mark, word) of which `got` bytes arrived; `kind` in byte 0.
VersionAnswer Reply(uint16_t word, DWORD got = kStatusReportSize, uint8_t kind = 0) {
  StatusReport r{};
  r[report_offset::kKind] = kind;
  r[report_offset::kVersionMark] = kVersionReplyMark;
  r[report_offset::kVersionLow] = static_cast<uint8_t>(word & 0xFF);
  r[report_offset::kVersionHigh] = static_cast<uint8_t>(word >> 8);
  return JudgeVersionReport(r, got);
}

TEST(VersionAnswers, OnlyBytesThatArrivedAreJudged) {
  using Kind = VersionAnswer::Kind;
  StatusReport noMark{};
  struct Case {
    const char* what;
    VersionAnswer answer;
    Kind kind;
    uint16_t version;
  } cases[] = {
      {"no byte", Reply(0x0103, 0), Kind::Lost, 0},
      {"5 bytes: the mark, no version bytes", Reply(0x0103, 5), Kind::Partial, 0},
      {"6 bytes: the mark, no version bytes", Reply(0x0103, 6), Kind::Partial, 0},
      {"7 bytes: the minor without the major", Reply(0x0103, 7), Kind::Partial, 0},
      {"8 bytes: every byte the decision reads", Reply(0x0103, 8), Kind::Version, 0x0103},
      {"whole report", Reply(0x0103), Kind::Version, 0x0103},
      {"whole report without the mark", JudgeVersionReport(noMark, kStatusReportSize), Kind::Version, 0},
      {"format report", Reply(0x0103, 128, 0x20), Kind::Busy, 0},
      {"write report", Reply(0x0103, 128, 0x40), Kind::Busy, 0},
      {"format report cut short", Reply(0x0103, 3, 0x20), Kind::Partial, 0},
      {"unknown kind", Reply(0x0103, 128, 0x30), Kind::Version, 0x0103},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.answer.kind, c.kind) << c.what;
    EXPECT_EQ(c.answer.version, c.version) << c.what;
  }
}

// The answers of the ten version queries, oldest first, as runs of equal answers.
struct Run {
  VersionAnswer answer;
  int times;
};
std::vector<VersionAnswer> Answers(std::initializer_list<Run> runs) {
  std::vector<VersionAnswer> answers;
  for (const Run& r : runs) answers.insert(answers.end(), r.times, r.answer);
  return answers;
}

TEST(VersionRules, LatestWholeAnswerDecides) {
  const VersionAnswer lost;  // the read failed: no report came
  const VersionAnswer noVersion = Reply(0, 128);
  const VersionAnswer busy = Reply(0, 128, 0x20);
  struct Case {
    const char* what;
    std::vector<VersionAnswer> answers;
    bool busy;
    uint16_t version;
    int index;  // against a version file naming 1.3
  } cases[] = {
      {"all answered", Answers({{Reply(0x0103), 10}}), false, 0x0103, kOsImageIndex},
      {"last read lost", Answers({{Reply(0x0103), 9}, {lost, 1}}), false, 0x0103, kOsImageIndex},
      {"first read lost", Answers({{lost, 1}, {Reply(0x0103), 9}}), false, 0x0103, kOsImageIndex},
      {"every read lost", Answers({{lost, 10}}), false, 0, kBootImageIndex},
      {"no query at all", {}, false, 0, kBootImageIndex},
      {"one answer among lost reads", Answers({{lost, 4}, {Reply(0x0200), 1}, {lost, 5}}), false, 0x0200,
       kOsImageIndex},
      {"lost reads between answers", Answers({{Reply(0x0102), 1}, {lost, 2}, {Reply(0x0103), 1}, {lost, 6}}), false,
       0x0103, kOsImageIndex},
      {"the device changed its answer", Answers({{Reply(0x0102), 5}, {Reply(0x0103), 5}}), false, 0x0103,
       kOsImageIndex},
      {"no version as the last answer", Answers({{Reply(0x0103), 9}, {noVersion, 1}}), false, 0, kBootImageIndex},
      {"no version, then lost reads", Answers({{Reply(0x0103), 7}, {noVersion, 1}, {lost, 2}}), false, 0,
       kBootImageIndex},
      // A tenth report cut short is no answer: the nine before it decide.
      {"tenth report of 5 bytes", Answers({{Reply(0x0103), 9}, {Reply(0x0103, 5), 1}}), false, 0x0103, kOsImageIndex},
      {"tenth report of 6 bytes", Answers({{Reply(0x0103), 9}, {Reply(0x0103, 6), 1}}), false, 0x0103, kOsImageIndex},
      {"tenth report of 7 bytes", Answers({{Reply(0x0103), 9}, {Reply(0x0103, 7), 1}}), false, 0x0103, kOsImageIndex},
      {"tenth report of 8 bytes", Answers({{Reply(0x0102), 9}, {Reply(0x0103, 8), 1}}), false, 0x0103, kOsImageIndex},
      {"only short reports", Answers({{Reply(0x0103, 7), 10}}), false, 0, kBootImageIndex},
      // A device still formatting or writing an earlier image.
      {"busy throughout", Answers({{busy, 10}}), true, 0, -1},
      {"busy, then lost reads", Answers({{Reply(0x0103), 5}, {busy, 1}, {lost, 4}}), true, 0, -1},
      {"busy, then a version", Answers({{busy, 5}, {Reply(0x0103), 5}}), false, 0x0103, kOsImageIndex},
  };
  for (const Case& c : cases) {
    DeviceVersionVerdict v = DecideDeviceVersion(c.answers);
    EXPECT_EQ(v.busy, c.busy) << c.what;
    EXPECT_EQ(v.version, c.version) << c.what;
    if (!v.busy) {
      EXPECT_EQ(ChooseImageIndex(false, 1, 3, v.version), c.index) << c.what;
    }
  }
}

TEST(MonitorReports, TooShortForTheirKindChangeNothing) {
  struct Case {
    uint8_t kind;
    DWORD got;
    bool whole;
  } cases[] = {
      {0x20, 2, false}, {0x20, 3, true},  // format: kind, finished mark, progress
      {0x40, 3, false}, {0x40, 4, true},  // write: kind .. progress byte 3
      {0x00, 4, false}, {0x00, 5, true},  // any other: up to the version mark
      {0x20, 0, false},
  };
  for (const Case& c : cases) {
    StatusReport r{};
    r[0] = c.kind;
    EXPECT_EQ(ReportIsWhole(r, c.got), c.whole) << "kind " << int(c.kind) << ", " << c.got << " bytes";
  }
}

TEST(MissingFiles, NamesJoinedByBlankComma) {
  struct Case {
    ImageSet set;
    bool versionRead;
    const wchar_t* names;
  } cases[] = {
      {kNoImage, true, L"Quon_r47Boot.ubi ,Quon_r47PDA.ubi"},
      {kNoImage, false, L"version.ver ,Quon_r47Boot.ubi ,Quon_r47PDA.ubi"},
      {kOsImageOnly, true, L"Quon_r47Boot.ubi"},
      {kOsImageOnly, false, L"version.ver ,Quon_r47Boot.ubi"},
      {kBootImageOnly, true, L"Quon_r47PDA.ubi"},
      {kBootImageOnly, false, L"version.ver ,Quon_r47PDA.ubi"},
      {kBothImages, true, L"Quon_r47PDA.ubi"},  // OS image present but refused
  };
  for (const Case& c : cases) EXPECT_EQ(MissingFileNames(c.set, c.versionRead), c.names);
}

// The idle status line: the first look replaces the template's text; later a text
// changes only with what the line would say, so a failure text left by a run stays
// until the user plugs in or unplugs (or a missing file turns up); the first look
// after a run only notes the line; and a run whose Update can never be enabled keeps
// its line as it is. A missing file is named before the handheld.
TEST(IdleStatusLine, TextForEachLook) {
  using P = DevicePresence;
  const std::wstring one = LoadText(IDS_IDLE_DEVICE), none = LoadText(IDS_IDLE_NO_DEVICE),
                     several = LoadText(IDS_IDLE_SEVERAL_DEVICES), missing = L"version.ver fehlt in C:\\r47";
  EXPECT_EQ(IdleLineText(P::One, L""), one);
  EXPECT_EQ(IdleLineText(P::None, L""), none);
  EXPECT_EQ(IdleLineText(P::Several, L""), several);
  EXPECT_EQ(IdleLineText(P::One, missing), missing);
  EXPECT_EQ(IdleLineText(P::Unknown, missing), missing);
  EXPECT_EQ(IdleLineText(P::Unknown, L""), L"");
  // After a run that wrote the boot loader: the second step, for one handheld or none;
  // a missing file and several handhelds come first, as always.
  EXPECT_EQ(IdleLineText(P::One, L"", true), LoadText(IDS_IDLE_DEVICE_STEP2));
  EXPECT_EQ(IdleLineText(P::None, L"", true), LoadText(IDS_IDLE_NO_DEVICE_STEP2));
  EXPECT_EQ(IdleLineText(P::Several, L"", true), several);
  EXPECT_EQ(IdleLineText(P::One, missing, true), missing);
  struct Case {
    std::wstring now, last;
    bool afterBusy, mayWrite;
    std::wstring written;
  } cases[] = {
      {one, L"", false, true, one},  // the first look
      {none, L"", false, true, none},
      {missing, L"", false, true, missing},
      {one, one, false, true, L""},  // nothing changed
      {none, none, false, true, L""},
      {missing, missing, false, true, L""},
      {none, one, false, true, none},  // unplugged, plugged in, a second one
      {one, none, false, true, one},
      {several, one, false, true, several},
      {one, several, false, true, one},
      {one, missing, false, true, one},  // version.ver was put in its place
      {missing, one, false, true, missing},
      {none, one, true, true, L""},  // after a run its text stays
      {one, none, true, true, L""},
      {one, L"", false, false, L""},  // Update can never be enabled
      {none, one, false, false, L""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IdleStatusText(c.now, c.last, c.afterBusy, c.mayWrite), c.written)
        << "now " << Narrow(c.now) << ", last " << Narrow(c.last) << ", after busy " << c.afterBusy
        << ", may write " << c.mayWrite;
  }
  EXPECT_EQ(PresenceOf(0), P::None);
  EXPECT_EQ(PresenceOf(1), P::One);
  EXPECT_EQ(PresenceOf(2), P::Several);
}

// What is missing, as the status line names it before the click: an image first (its
// folder is the program's), then version.ver with the start folder it was looked in.
TEST(MissingFiles, StatusLineNamesTheFirstFileToFixAndItsFolder) {
  using V = VersionFileState;
  const std::wstring folder = L"C:\\Programme\\r47";
  struct Case {
    ImageSet set;
    V version;
    const wchar_t* line;
  } cases[] = {
      {kBothImages, V::Read, L""},
      {kBothImages, V::Missing, L"version.ver fehlt in C:\\Programme\\r47"},
      {kBothImages, V::Incomplete, L"version.ver defekt in C:\\Programme\\r47"},
      {kOsImageOnly, V::Read, L"Quon_r47Boot.ubi fehlt im Ordner von r47flash.exe."},
      {kOsImageOnly, V::Missing, L"Quon_r47Boot.ubi fehlt im Ordner von r47flash.exe."},
      {kBootImageOnly, V::Incomplete, L"Quon_r47PDA.ubi fehlt im Ordner von r47flash.exe."},
      {kNoImage, V::Missing, L"Quon_r47Boot.ubi und Quon_r47PDA.ubi fehlen im Ordner von r47flash.exe."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MissingFilesLine(c.set, c.version, folder), c.line) << c.set << " " << int(c.version);
  }
  // A folder as Explorer shows it: no backslash at its end, except a drive's root.
  EXPECT_EQ(MissingFilesLine(kBothImages, V::Missing, L"C:\\r47\\"), L"version.ver fehlt in C:\\r47");
  EXPECT_EQ(MissingFilesLine(kBothImages, V::Missing, L"C:\\"), L"version.ver fehlt in C:\\");
}

// Box 122 keeps the names as the update lists them; version.ver among them adds where
// it was looked for and what to do.
TEST(MissingFiles, BoxAddsTheFolderHintForVersionVer) {
  EXPECT_EQ(MissingFilesBoxText(L"Quon_r47Boot.ubi", false, L"C:\\r47"),
            L"Datei Quon_r47Boot.ubi kann nicht gefunden werden!");
  const std::wstring withHint = MissingFilesBoxText(L"version.ver ,Quon_r47Boot.ubi", true, L"C:\\r47\\");
  const std::wstring first = L"Datei version.ver ,Quon_r47Boot.ubi kann nicht gefunden werden!\n\n";
  ASSERT_EQ(withHint.compare(0, first.size(), first), 0) << Narrow(withHint);
  EXPECT_EQ(withHint.substr(first.size()), FormatTextString(IDS_VERSION_FILE_FOLDER, L"C:\\r47"));
  EXPECT_NE(withHint.find(L"im Ordner C:\\r47. Legen Sie version.ver in diesen Ordner"), std::wstring::npos)
      << Narrow(withHint);
}

// The pre-flight's choice names the device's boot loader, or that it gave no answer.
TEST(PreflightStages, ImageChosenNamesDeviceNeedAndChoice) {
  EXPECT_EQ(ImageChosenText(0x0102, 1, 3, L"Quon_r47Boot.ubi"),
            L"Ger\u00e4t: Boot-Loader 1.2 \u2013 ben\u00f6tigt: 1.3 \u2013 gew\u00e4hlt: Quon_r47Boot.ubi");
  EXPECT_EQ(ImageChosenText(0, 1, 3, L"Quon_r47Boot.ubi"),
            L"Ger\u00e4t: keine Antwort \u2013 ben\u00f6tigt: 1.3 \u2013 gew\u00e4hlt: Quon_r47Boot.ubi");
  EXPECT_EQ(ImageChosenText(0xFFFF, 255, 255, L"Quon_r47PDA.ubi"),
            L"Ger\u00e4t: Boot-Loader 255.255 \u2013 ben\u00f6tigt: 255.255 \u2013 gew\u00e4hlt: Quon_r47PDA.ubi");
}

TEST(TextFormat, FillsNumbersTextsAndPercent) {
  int n = 17;
  std::wstring s = L"Quon_r47PDA.ubi";
  EXPECT_EQ(FormatText(L"Lädt ROM-Daten herunter: %d %%", nullptr, 0, &n, 1), L"Lädt ROM-Daten herunter: 17 %");
  EXPECT_EQ(FormatText(L"Datei %s kann nicht gefunden werden!", &s, 1, nullptr, 0),
            L"Datei Quon_r47PDA.ubi kann nicht gefunden werden!");
  // A format asking for more than it was given leaves the place empty, never reads on.
  EXPECT_EQ(FormatText(L"%d/%d %s", nullptr, 0, &n, 1), L"17/ ");
  EXPECT_EQ(FormatText(L"100%", nullptr, 0, nullptr, 0), L"100%");
  std::wstring longText(5000, L'x');
  EXPECT_EQ(FormatText(L"[%s]", &longText, 1, nullptr, 0).size(), 5002u);
}

TEST(TransferProgress, DisplayAfterEachChunk) {
  struct Case {
    uint32_t size;
    std::vector<int> bars, statuses;  // at the chunks that update, in order
    uint32_t chunks;
  } cases[] = {
      {100000, {49, 65, 81}, {17, 22, 28}, 7},
      // Small: the bar is the quotient (12, 25, 37, 50, 62, 75, 87, 100; the odd ones update).
      {131072, {25, 37, 75, 87}, {8, 13, 26, 30}, 8},
      {131079, {8, 13, 26, 30}, {8, 13, 26, 30}, 9},
      {16384, {}, {}, 1},
  };
  for (Case& c : cases) {
    TransferSteps steps = ComputeTransferSteps(c.size);
    std::vector<int> bars, statuses;
    uint32_t chunks = 0;
    uint64_t offset = 0;
    do {
      offset += kChunkSize;
      ++chunks;
      ChunkDisplay d = DisplayAfterChunk(c.size, offset, steps);
      if (d.update) {
        bars.push_back(d.bar);
        statuses.push_back(d.status);
      }
    } while (offset < c.size);
    EXPECT_EQ(chunks, c.chunks) << c.size;
    EXPECT_EQ(bars, c.bars) << c.size;
    EXPECT_EQ(statuses, c.statuses) << c.size;
  }
  TransferSteps s100k = ComputeTransferSteps(100000);
  EXPECT_EQ(s100k.percentStep, 1000u);
  EXPECT_EQ(s100k.transferStep, 2857u);
  // 300007 bytes: the offset overshoots to 311296 at the last chunk, which shows 36.
  TransferSteps s300k = ComputeTransferSteps(300007);
  ChunkDisplay last = DisplayAfterChunk(300007, 311296, s300k);
  EXPECT_TRUE(last.update);
  EXPECT_EQ(last.bar, 36);
  EXPECT_EQ(last.status, 36);
  // Tiny images: percent step at least 1, never a division by a zero transfer step.
  EXPECT_EQ(ComputeTransferSteps(7).percentStep, 1u);
  EXPECT_FALSE(DisplayAfterChunk(7, kChunkSize, ComputeTransferSteps(7)).update);
}

StatusReport Report(std::initializer_list<std::pair<int, uint8_t>> bytes) {
  StatusReport r{};
  for (auto& b : bytes) r[static_cast<size_t>(b.first)] = b.second;
  return r;
}

TEST(MonitorReports, Decode) {
  struct Case {
    StatusReport report;
    MonitorAction action;
    int value;
  } cases[] = {
      {Report({{0, 0x20}, {2, 0}}), MonitorAction::Progress, 40},
      {Report({{0, 0x20}, {2, 25}}), MonitorAction::Progress, 48},
      {Report({{0, 0x20}, {2, 50}}), MonitorAction::Progress, 60},
      {Report({{0, 0x20}, {2, 99}}), MonitorAction::Progress, 76},
      {Report({{0, 0x20}, {2, 100}}), MonitorAction::Progress, 80},
      {Report({{0, 0x20}, {2, 200}}), MonitorAction::Progress, 120},
      {Report({{0, 0x20}, {1, 0x55}, {2, 0x7F}}), MonitorAction::Progress, 80},  // finished beats failed
      {Report({{0, 0x20}, {2, 0x7F}}), MonitorAction::FormatFailed, 0},
      {Report({{0, 0x40}, {3, 0}}), MonitorAction::Progress, 80},
      {Report({{0, 0x40}, {3, 4}}), MonitorAction::Progress, 80},
      {Report({{0, 0x40}, {3, 5}}), MonitorAction::Progress, 81},
      {Report({{0, 0x40}, {3, 50}}), MonitorAction::Progress, 90},
      {Report({{0, 0x40}, {3, 99}}), MonitorAction::Progress, 99},
      {Report({{0, 0x40}, {3, 100}}), MonitorAction::Stored, 100},
      {Report({{0, 0x40}, {3, 0x7F}}), MonitorAction::WriteFailed, 0},
      {Report({{0, 0x00}, {3, 100}}), MonitorAction::None, 0},
      {Report({{0, 0x30}, {2, 0x7F}, {3, 0x7F}}), MonitorAction::None, 0},
  };
  for (const Case& c : cases) {
    MonitorStep step = DecodeMonitorReport(c.report);
    EXPECT_EQ(step.action, c.action) << "kind " << int(c.report[0]);
    EXPECT_EQ(step.value, c.value) << "kind " << int(c.report[0]) << " b2 " << int(c.report[2]) << " b3 "
                                   << int(c.report[3]);
  }
}

// The monitor's watch over reports that show neither progress nor failure: each
// case is a run of reports, each read at a tick count, and the verdict on the last.
TEST(MonitorReports, WatchEndsOnAStallOrOnADeviceThatLeftItsStages) {
  const StatusReport format0 = Report({{0, 0x20}, {2, 0}});
  const StatusReport format4 = Report({{0, 0x20}, {2, 4}});
  const StatusReport formatDone = Report({{0, 0x20}, {1, 0x55}, {2, 100}});
  const StatusReport formatDoneAt4 = Report({{0, 0x20}, {1, 0x55}, {2, 4}});
  const StatusReport write40 = Report({{0, 0x40}, {3, 40}});
  const StatusReport version = Report({{4, 0x55}, {6, 0x05}, {7, 0x01}});
  const StatusReport zeros{};
  const StatusReport otherKind = Report({{0, 0x30}, {3, 100}});
  const uint32_t T = kMonitorStallTimeoutMs;
  struct Step {
    StatusReport report;
    uint32_t at;
  };
  struct Case {
    const char* name;
    uint32_t start;
    std::vector<Step> steps;
    MonitorVerdict last;
  } cases[] = {
      {"progress keeps it going",
       0,
       {{format0, 1000}, {format4, T}, {formatDone, 2 * T - 1}, {write40, 3 * T - 2}},
       MonitorVerdict::Continue},
      {"the same report up to just before the bound",
       0,
       {{format4, 1000}, {format4, 1000 + T - 1}},
       MonitorVerdict::Continue},
      {"the same report for the bound", 0, {{format4, 1000}, {format4, 1000 + T}}, MonitorVerdict::Stalled},
      {"the finished mark is a change",
       0,
       {{formatDoneAt4, 1000}, {format4, 1000 + T - 1}, {format4, 1000 + 2 * T - 2}},
       MonitorVerdict::Continue},
      {"reports of no kind from the start",
       0,
       {{zeros, 1000}, {otherKind, T - 1}, {zeros, T}},
       MonitorVerdict::Stalled},
      {"reports of no kind after progress",
       0,
       {{write40, 1000}, {otherKind, 2000}, {zeros, 1000 + T}},
       MonitorVerdict::Stalled},
      {"a version reply before any stage is only waited out",
       0,
       {{version, 1000}, {version, T - 1}},
       MonitorVerdict::Continue},
      {"version replies in a row once formatting began",
       0,
       {{format0, 1000}, {version, 2000}, {version, 3000}, {version, 4000}},
       MonitorVerdict::NotFlashing},
      {"version replies in a row during the write stage",
       0,
       {{write40, 1000}, {version, 2000}, {version, 3000}, {version, 4000}},
       MonitorVerdict::NotFlashing},
      // A single report of another kind among progress reports changes nothing.
      {"version replies between progress reports",
       0,
       {{format0, 1000}, {version, 2000}, {version, 3000}, {format4, 4000}, {version, 5000}, {version, 6000}},
       MonitorVerdict::Continue},
      {"version replies between repeated reports",
       0,
       {{write40, 1000}, {version, 2000}, {version, 3000}, {write40, 4000}, {version, 5000}, {version, 6000}},
       MonitorVerdict::Continue},
      {"version replies after another kind",
       0,
       {{write40, 1000}, {version, 2000}, {version, 3000}, {otherKind, 4000}, {version, 5000}, {version, 6000}},
       MonitorVerdict::Continue},
      {"the tick count wraps during progress",
       0xFFFFF000u,
       {{format0, 0xFFFFFF00u}, {format4, 0x100}, {format4, 0x200}},
       MonitorVerdict::Continue},
      {"the tick count wraps during a stall",
       0xFFFFF000u,
       {{format4, 0xFFFFFF00u}, {format4, 0xFFFFFF00u + T}},
       MonitorVerdict::Stalled},
  };
  for (const Case& c : cases) {
    MonitorWatch watch(c.start);
    MonitorVerdict v = MonitorVerdict::Continue;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      v = watch.Observe(c.steps[i].report, c.steps[i].at);
      if (i + 1 < c.steps.size()) {
        EXPECT_EQ(v, MonitorVerdict::Continue) << c.name << ", report " << i;
      }
    }
    EXPECT_EQ(v, c.last) << c.name;
  }
}

TEST(MonitorReports, FailureTextEndsAtTheFirstZeroOrTheReportEnd) {
  StatusReport r{};
  EXPECT_EQ(ReportTextLength(r), 0u);
  r[0] = '@';
  r[1] = 'x';
  EXPECT_EQ(ReportTextLength(r), 2u);
  r.fill('A');
  EXPECT_EQ(ReportTextLength(r), 128u);
}

// A device failure is shown as the device's own bytes under the caption of the stage
// that failed, which the failure table holds as the device's makers wrote it (Big5).
TEST(FailureViews, DeviceFailuresTakeTheirStagesCaption) {
  const struct {
    FlashFailure::Stage stage;
    const char* text;
    const wchar_t* shownText;
    const wchar_t* caption;
  } cases[] = {
      {FlashFailure::Stage::Format, " E\x7f FORMAT ERROR 42", L" E\x7f FORMAT ERROR 42", L"FORMAT\u5931\u6557"},
      {FlashFailure::Stage::Write, "@E \x7fWRITE ERROR 7", L"@E \x7fWRITE ERROR 7", L"\u4e0b\u8f09\u5931\u6557"},
  };
  for (const auto& c : cases) {
    FlashFailure f;
    f.kind = FlashFailure::Kind::DeviceFailed;
    f.deviceStage = c.stage;
    f.deviceText = c.text;
    const FailureView view = ViewOf(f);
    EXPECT_EQ(view.caption, c.caption) << c.text;
    EXPECT_EQ(view.text, c.shownText);
    EXPECT_EQ(view.icon, BoxIcon::None);
    EXPECT_FALSE(view.ownerless);
    EXPECT_FALSE(view.statusLine);
    EXPECT_EQ(view.controls, ControlsAfter::Busy);
  }
}

TEST(DeviceRecords, VersionWordFromAReport) {
  struct Case {
    uint8_t b4, b6, b7;
    uint16_t version;
  } cases[] = {
      {0x55, 0x05, 0x01, 0x0105}, {0x55, 0x90, 0x01, 0x0190}, {0x55, 0x00, 0x00, 0},
      {0x54, 0x05, 0x01, 0},      {0x00, 0xFF, 0xFF, 0},      {0x55, 0xFF, 0xFF, 0xFFFF},
  };
  for (const Case& c : cases) {
    StatusReport r{};
    r[4] = c.b4;
    r[6] = c.b6;
    r[7] = c.b7;
    EXPECT_EQ(VersionFromReport(r), c.version);
  }
}

TEST(DeviceRecords, CommandPacketBytes) {
  CommandPacket p = BuildCommandPacket(100);
  EXPECT_EQ(p[0], 0x64);
  for (size_t i = 1; i < p.size(); ++i) EXPECT_EQ(p[i], 0x55) << i;
  EXPECT_EQ(BuildCommandPacket(0x1FF)[0], 0xFF);
  EXPECT_EQ(BuildCommandPacket(0x1FF)[31], 0x55);
}

TEST(VersionFile, KeysConversionAndStop) {
  struct Case {
    const char* content;
    bool ok;
    int high, low;
    bool must;
  } cases[] = {
      {"[Version]\r\nEbootHigh=1\r\nEbootLow=3\r\nMustUpdateEboot=0\r\n", true, 1, 3, false},
      {"[version]\r\neboothigh=2 beta\r\nEBOOTLOW=  7\r\nMustUpdateEboot=27884766\r\n", true, 2, 7, true},
      {"[Version]\r\nEbootHigh=1\r\nEbootLow=3\r\nMustUpdateEboot=0x1A97CDE\r\n", true, 1, 3, false},
      {"[Version]\r\nEbootHigh=1\r\nEbootLow=3\r\nMustUpdateEboot=1\r\n", true, 1, 3, false},
      {"[Version]\r\nEbootHigh=-4\r\nEbootLow=x\r\nMustUpdateEboot=\r\n", false, -4, 0, false},
      {"[Version]\r\nEbootHigh=\r\nEbootLow=3\r\nMustUpdateEboot=0\r\n", false, 0, 0, false},
      {"[Version]\r\nEbootHigh=5\r\n", false, 5, 0, false},
      {"[Other]\r\nEbootHigh=5\r\nEbootLow=3\r\nMustUpdateEboot=0\r\n", false, 0, 0, false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    dir.Write(L"version.ver", std::string(c.content));
    int high = 0, low = 0;
    bool must = false;
    EXPECT_EQ(ReadVersionFileAt(dir.File(L"version.ver"), &high, &low, &must), c.ok) << c.content;
    EXPECT_EQ(high, c.high) << c.content;
    EXPECT_EQ(low, c.low) << c.content;
    EXPECT_EQ(must, c.must) << c.content;
  }
}

TEST(VersionFile, ReadFromTheCurrentDirectory) {
  TempDir dir;
  dir.Write(L"version.ver", std::string("[Version]\r\nEbootHigh=9\r\nEbootLow=8\r\nMustUpdateEboot=0\r\n"));
  wchar_t old[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, old);
  SetCurrentDirectoryW(dir.Path().c_str());
  int high = 0, low = 0;
  bool must = true;
  bool ok = ReadVersionFile(&high, &low, &must);
  SetCurrentDirectoryW(old);
  EXPECT_TRUE(ok);
  EXPECT_EQ(high, 9);
  EXPECT_EQ(low, 8);
  EXPECT_FALSE(must);
}

TEST(VersionFile, DecimalConversion) {
  struct Case {
    const wchar_t* text;
    int value;
  } cases[] = {{L"2 beta", 2},
               {L"  -17", -17},
               {L"+5", 5},
               {L"0x10", 0},
               {L"abc", 0},
               {L"", 0},
               {L"99999999999", 2147483647},
               {L"-99999999999", -2147483647 - 1}};
  for (const Case& c : cases) EXPECT_EQ(ParseDecimal(c.text), c.value) << testing_support::Narrow(c.text);
}

// A report that counts how many of its kind are alive, to see that none leaks.
struct Counted {
  explicit Counted(int n) : n(n) { ++alive; }
  ~Counted() { --alive; }
  int n;
  static int alive;
};
int Counted::alive = 0;

TEST(ReportOutbox, AFailedPostKeepsTheReportsAndAGoneWindowFreesThem) {
  ReportOutbox<Counted> outbox;
  bool postWorks = false, windowAlive = true;
  int posts = 0;
  auto post = [&] {
    ++posts;
    return postWorks;
  };
  auto alive = [&] { return windowAlive; };

  outbox.Put(std::make_unique<Counted>(1), post, alive);
  EXPECT_EQ(posts, 1);
  EXPECT_TRUE(outbox.Stranded()) << "the report must wait for another try";
  postWorks = true;
  outbox.Put(std::make_unique<Counted>(2), post, alive);  // tries again for both
  EXPECT_EQ(posts, 2);
  EXPECT_FALSE(outbox.Stranded());
  outbox.Put(std::make_unique<Counted>(3), post, alive);  // news already on its way
  EXPECT_EQ(posts, 2);
  auto taken = outbox.TakeAll();
  ASSERT_EQ(taken.size(), 3u);
  EXPECT_EQ(taken[0]->n * 100 + taken[1]->n * 10 + taken[2]->n, 123) << "in the order reported";
  taken.clear();

  // The last report's post fails: Repost delivers its news later.
  postWorks = false;
  outbox.Put(std::make_unique<Counted>(4), post, alive);
  EXPECT_TRUE(outbox.Stranded());
  postWorks = true;
  outbox.Repost(post, alive);
  EXPECT_FALSE(outbox.Stranded());
  EXPECT_EQ(outbox.Size(), 1u);

  // The window goes: what waits and what comes later is freed.
  windowAlive = false;
  postWorks = false;
  outbox.Put(std::make_unique<Counted>(5), post, alive);
  EXPECT_EQ(outbox.Size(), 0u);
  EXPECT_EQ(Counted::alive, 0);
}

// ---- The window after a failed flash ----

TEST(WayBack, ShownForTheFailuresOnceThePipeWasOpened) {
  using K = FlashFailure::Kind;
  const struct {
    K kind;
    Phase phase;
    bool shown;
  } cases[] = {
      {K::ConnectionBroken, Phase::Transfer, true},    {K::ConnectionBroken, Phase::Monitor, true},
      {K::ConnectionBroken, Phase::Connecting, true},  {K::DeviceFailed, Phase::Monitor, true},
      {K::CommandPacketLost, Phase::Monitor, true},    {K::CommandPacketLost, Phase::Transfer, true},
      // Nothing of the image went out, or the failure is the file's.
      {K::ConnectionBroken, Phase::Preflight, false},  {K::ConnectionBroken, Phase::Idle, false},
      {K::ConnectionBroken, Phase::Broken, false},     {K::ImageMissing, Phase::Connecting, false},
      {K::ImageUnreadable, Phase::Transfer, false},    {K::ChecksumMismatch, Phase::Preflight, false},
      {K::WorkerNotStarted, Phase::Connecting, false}, {K::ImageReadGivenUp, Phase::Ending, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ShowsWayBack(c.kind, c.phase), c.shown) << int(c.kind) << " in phase " << int(c.phase);
}

TEST(WayBack, AmountsInMegabytesWithADecimalComma) {
  const struct {
    uint64_t bytes;
    bool down;
    const wchar_t* text;
  } megabytes[] = {
      {0, false, L"0,0"},        {98304, false, L"0,1"},   {98304, true, L"0,0"},
      {1234567, false, L"1,2"},  {1250000, false, L"1,3"}, {1249999, false, L"1,2"},
      {2999999, false, L"3,0"},  {2999999, true, L"2,9"},  {33554432, false, L"33,6"},
      {4294967295u, true, L"4294,9"},
  };
  for (const auto& c : megabytes) EXPECT_EQ(MegabytesText(c.bytes, c.down), c.text) << c.bytes;

  const struct {
    uint64_t sent;
    uint32_t size;
    const wchar_t* text;
  } sent[] = {
      {98304, 300007, L"0,0 von 0,3 MB übertragen (98.304 von 300.007 Byte)."},
      // Never more than went out: 2,96 of 3,0 is not "3,0 von 3,0".
      {2960000, 3000000, L"2,9 von 3,0 MB übertragen (2.960.000 von 3.000.000 Byte)."},
      // All of it: the same figure as the whole.
      {2960000, 2960000, L"3,0 von 3,0 MB übertragen (2.960.000 von 2.960.000 Byte)."},
      {0, 999, L"0,0 von 0,0 MB übertragen (0 von 999 Byte)."},
  };
  for (const auto& c : sent) EXPECT_EQ(SentText(c.sent, c.size), c.text) << c.sent;
}

TEST(WayBack, StageOfEachReportAndItsLine) {
  using S = DeviceStageSeen::Stage;
  const struct {
    StatusReport report;
    DWORD got;
    bool shows;
    DeviceStageSeen seen;
    const wchar_t* line;
  } cases[] = {
      {Report({{0, 0x20}, {2, 40}}), 128, true, {S::Format, 40}, L"Letzte Meldung des Geräts: Formatieren 40 %"},
      {Report({{0, 0x20}, {1, 0x55}, {2, 100}}), 128, true, {S::Format, 100}, nullptr},
      {Report({{0, 0x20}, {2, 200}}), 128, true, {S::Format, 100}, nullptr},
      {Report({{0, 0x40}, {3, 25}}), 128, true, {S::Write, 25}, L"Letzte Meldung des Geräts: Schreiben 25 %"},
      {Report({{0, 0x40}, {3, 100}}), 128, true, {S::Stored, 100}, L"Letzte Meldung des Geräts: Image gespeichert"},
      // The monitor's kept report after a read of no byte still shows its stage.
      {Report({{0, 0x40}, {3, 60}}), 0, true, {S::Write, 60}, nullptr},
      // Failure reports are text; other kinds and short reads show no stage.
      {Report({{0, 0x20}, {1, 'E'}, {2, 0x7F}}), 128, false, {}, nullptr},
      {Report({{0, 0x40}, {1, 'E'}, {2, ' '}, {3, 0x7F}}), 128, false, {}, nullptr},
      {Report({{0, 0x00}, {4, 0x55}, {6, 3}, {7, 1}}), 128, false, {}, nullptr},
      {Report({{0, 0x40}, {3, 50}}), 3, false, {}, nullptr},
  };
  for (const auto& c : cases) {
    DeviceStageSeen seen{S::Write, 7};  // untouched when the report shows none
    EXPECT_EQ(StageOfReport(c.report, c.got, &seen), c.shows) << int(c.report[0]) << " " << int(c.report[2]);
    EXPECT_TRUE(seen == (c.shows ? c.seen : DeviceStageSeen{S::Write, 7})) << int(c.report[0]);
    if (c.line) EXPECT_EQ(StageText(seen), c.line);
  }
  EXPECT_EQ(StageText(DeviceStageSeen{}),
            L"Das Gerät hat keinen Fortschritt beim Formatieren oder Schreiben gemeldet.");
}

TEST(WayBack, WhatTheHandheldMayHoldFollowsWhatWasSeen) {
  using S = DeviceStageSeen::Stage;
  const struct {
    uint64_t sent;
    S stage;
    UINT text;
  } cases[] = {
      {100000, S::None, IDS_WAYBACK_HOLDS_PART},     {300007, S::None, IDS_WAYBACK_HOLDS_SENT},
      {300007, S::Format, IDS_WAYBACK_HOLDS_FORMAT}, {300007, S::Write, IDS_WAYBACK_HOLDS_WRITE},
      {300007, S::Stored, IDS_WAYBACK_HOLDS_STORED},
  };
  for (const auto& c : cases) {
    FlashSeen seen;
    seen.imageSize = 300007;
    seen.bytesSent = c.sent;
    seen.stage.stage = c.stage;
    EXPECT_EQ(HoldsTextId(seen), c.text) << c.sent << " " << int(c.stage);
  }
}

TEST(WayBack, DeviceTextReadableOnScreenAndHexInTheLog) {
  const struct {
    std::string bytes;
    const wchar_t* screen;
    const wchar_t* log;
  } cases[] = {
      {"AB\x01" "C", L"AB\u00B7C", L"AB<01>C"},
      {" E\x7F Block 12", L" E\u00B7 Block 12", L" E<7F> Block 12"},
      {"@E \x7FWRITE", L"@E \u00B7WRITE", L"@E <7F>WRITE"},
      {std::string("\x00\x1F\x20~", 4), L"\u00B7\u00B7 ~", L"<00><1F> ~"},
      {"\r\n\t", L"\u00B7\u00B7\u00B7", L"<0D><0A><09>"},
      {"", L"", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadableDeviceText(c.bytes), c.screen) << c.bytes;
    EXPECT_EQ(LoggedDeviceText(c.bytes), c.log) << c.bytes;
  }
}

TEST(WayBack, WholeTextNamesImageAmountStageDeviceTextAndLog) {
  FlashSeen seen;
  seen.image = ImageKind::Boot;
  seen.imageName = L"Quon_r47Boot.ubi";
  seen.imageSize = 300007;
  seen.bytesSent = 300007;
  seen.stage = {DeviceStageSeen::Stage::Format, 40};
  FlashFailure failure;
  failure.kind = FlashFailure::Kind::DeviceFailed;
  failure.deviceText = " E\x7F bad";
  const std::wstring text = WayBackText(seen, failure, L"C:\\logs\\r47flash-1.log");
  EXPECT_EQ(text.find(L"Image: Boot-Loader (Quon_r47Boot.ubi)\r\n0,3 von 0,3 MB übertragen"), 0u) << Narrow(text);
  EXPECT_NE(text.find(L"\r\nLetzte Meldung des Geräts: Formatieren 40 %\r\nFehlermeldung des Geräts:  E\u00B7 bad\r\n"),
            std::wstring::npos)
      << Narrow(text);
  EXPECT_NE(text.find(L"\r\n1. "), std::wstring::npos);
  const std::wstring logLine = L"\r\n\r\nProtokoll dieses Laufs: C:\\logs\\r47flash-1.log";
  ASSERT_GT(text.size(), logLine.size());
  EXPECT_EQ(text.substr(text.size() - logLine.size()), logLine);

  // No file for the log; not a device failure: no device text.
  failure.kind = FlashFailure::Kind::ConnectionBroken;
  const std::wstring memory = WayBackText(seen, failure, L"");
  EXPECT_EQ(memory.find(L"Fehlermeldung des Geräts"), std::wstring::npos);
  EXPECT_NE(memory.find(L"nur im Fenster, das \"Protokoll anzeigen\" öffnet"), std::wstring::npos) << Narrow(memory);
}

// The notice at the next start, from what the earlier run's log recorded: how it ended,
// the image, the bytes (at least, when only the status line's percentage was logged),
// the stage, what the handheld may hold and the steps, and that run's log.
TEST(EarlierRun, NoticeSaysWhatTheLogRecorded) {
  using S = DeviceStage::Kind;
  struct Case {
    const char* what;
    bool closed;
    RunOutcome::Kind outcome;
    uint64_t sent;
    bool exact;
    DeviceStage stage;
    std::vector<const wchar_t*> says;
  } cases[] = {
      {"killed during the transfer", false, RunOutcome::Kind::Unknown, 77139, false, {},
       {L"um 08:05 Uhr wurde nicht abgeschlossen: Das Programm wurde währenddessen beendet",
        L"\r\nMindestens 0,0 von 0,3 MB übertragen (mindestens 77.139 von 300.007 Byte).\r\n"
        L"Das Gerät hat keinen Fortschritt beim Formatieren oder Schreiben gemeldet.\r\n\r\n"
        L"Das Programm endete, während das Image übertragen wurde.",
        L"\r\n1. Prüfen Sie Kabel und Netzteil."}},
      {"failed while writing", true, RunOutcome::Kind::Failed, 300007, true, {S::Write, 40, false, true},
       {L"Sie brach mit einer Fehlermeldung ab.",
        L"\r\n0,3 von 0,3 MB übertragen (300.007 von 300.007 Byte).\r\nLetzte Meldung des Geräts: Schreiben 40 %",
        L"Sein Speicher enthält möglicherweise ein unvollständiges Image."}},
      {"killed after the device stored the image", false, RunOutcome::Kind::Unknown, 300007, true,
       {S::Write, 100, true, false},
       {L"Letzte Meldung des Geräts: Image gespeichert",
        L"\r\n1. Stellen Sie den Hard-Reset-Schalter in die Position OFF (AUS)"}},
      {"killed while formatting", false, RunOutcome::Kind::Unknown, 300007, true, {S::Format, 60, false, false},
       {L"Letzte Meldung des Geräts: Formatieren 60 %", L"begonnen, seinen Speicher zu formatieren"}},
  };
  for (const auto& c : cases) {
    LastRun run;
    run.programLog = run.updateStarted = run.transferStarted = true;
    run.started.wYear = 2026;
    run.started.wMonth = 1;
    run.started.wDay = 2;
    run.started.wHour = 8;
    run.started.wMinute = 5;
    run.closed = c.closed;
    run.outcome.kind = c.outcome;
    run.image = ImageKind::Os;
    run.imageName = L"Quon_r47PDA.ubi";
    run.imageSize = 300007;
    run.bytesSent = c.sent;
    run.bytesExact = c.exact;
    run.lastStage = c.stage;
    const std::wstring text = LastRunNoticeText(run, L"C:\\logs\\r47flash-1.log");
    EXPECT_EQ(text.find(L"Die Aktualisierung vom 02.01.2026 um 08:05 Uhr"), 0u) << c.what << "\n" << Narrow(text);
    EXPECT_NE(text.find(L"\r\n\r\nImage: Betriebssystem (Quon_r47PDA.ubi)\r\n"), std::wstring::npos) << c.what;
    for (const wchar_t* said : c.says)
      EXPECT_NE(text.find(said), std::wstring::npos) << c.what << ": " << Narrow(said) << "\n" << Narrow(text);
    // Not this window's way out: the program does not end after this notice.
    EXPECT_EQ(text.find(L"das Programm beendet sich"), std::wstring::npos) << c.what;
    const std::wstring logLine = L"\r\n\r\nProtokoll jenes Laufs: C:\\logs\\r47flash-1.log";
    EXPECT_EQ(text.substr(text.size() - logLine.size()), logLine) << c.what;
  }
}

// The stage line confirms the boot loader that the earlier run wrote.
TEST(EarlierRun, StageLineConfirmsTheBootLoaderWritten) {
  EXPECT_EQ(ImageChosenText(0x0103, 1, 3, L"Quon_r47PDA.ubi", true),
            L"Gerät: Boot-Loader 1.3 bestätigt – benötigt: 1.3 – gewählt: Quon_r47PDA.ubi");
  EXPECT_EQ(ImageChosenText(0x0103, 1, 3, L"Quon_r47PDA.ubi", false),
            L"Gerät: Boot-Loader 1.3 – benötigt: 1.3 – gewählt: Quon_r47PDA.ubi");
}

}  // namespace
