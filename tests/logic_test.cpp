// Decisions and arithmetic that need no window and no device, as tables of cases.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "app/update_rules.h"
#include "device/messages.h"
#include "flash/monitor_rules.h"
#include "flash/progress.h"
#include "images/version_file.h"
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

// The answers of the ten version queries, oldest first, as runs of equal answers.
using Answer = std::optional<uint16_t>;
struct Run {
  Answer answer;
  int times;
};
std::vector<Answer> Answers(std::initializer_list<Run> runs) {
  std::vector<Answer> answers;
  for (const Run& r : runs) answers.insert(answers.end(), r.times, r.answer);
  return answers;
}

TEST(VersionRules, LatestRealAnswerIsTheDeviceVersion) {
  const Answer lost;           // the read failed: no report came
  const Answer noVersion = 0;  // a report without the version mark
  struct Case {
    const char* what;
    std::vector<Answer> answers;
    uint16_t version;
  } cases[] = {
      {"all answered", Answers({{0x0103, 10}}), 0x0103},
      {"last read lost", Answers({{0x0103, 9}, {lost, 1}}), 0x0103},
      {"first read lost", Answers({{lost, 1}, {0x0103, 9}}), 0x0103},
      {"every read lost", Answers({{lost, 10}}), 0},
      {"no query at all", {}, 0},
      {"only one read answered", Answers({{lost, 4}, {0x0200, 1}, {lost, 5}}), 0x0200},
      {"the device changed its answer", Answers({{0x0102, 5}, {0x0103, 5}}), 0x0103},
      {"no version as the last answer", Answers({{0x0103, 9}, {noVersion, 1}}), 0},
      {"no version, then a real answer", Answers({{noVersion, 3}, {0x0103, 7}}), 0x0103},
      {"no version, then lost reads", Answers({{0x0103, 7}, {noVersion, 1}, {lost, 2}}), 0},
      {"lost reads between answers", Answers({{0x0102, 1}, {lost, 2}, {0x0103, 1}, {lost, 6}}), 0x0103},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DeviceVersionFromAnswers(c.answers), c.version) << c.what;
  }
  // What the rules then make of it: nine answers 1.3 and a lost tenth read, with a
  // version file naming 1.3, write the OS image, not the boot loader.
  const uint16_t device = DeviceVersionFromAnswers(Answers({{0x0103, 9}, {lost, 1}}));
  EXPECT_EQ(ChooseImageIndex(false, 1, 3, device), kOsImageIndex);
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

}  // namespace
