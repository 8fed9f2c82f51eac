// What an earlier run did to the handheld, as its log tells it: the reader against
// logs of every course a run can take, against the lines the program itself writes,
// and the mark that the notice about a run was shown.
#include "app/last_run.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <fstream>

#include "app/failure_table.h"
#include "app/flash_log.h"
#include "app/kept_logs.h"
#include "app/logged_events.h"
#include "images/discovery.h"
#include "recorded_events.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const wchar_t kStamp[] = L"2026-03-07 09:05:02.123  ";

// A log's text as a run writes it: a start line, then these lines, each stamped.
std::wstring LogOf(const std::vector<std::wstring>& lines) {
  std::wstring text = kStamp + StartLine(L"1.0.0.0", 4321) + L"\r\n";
  for (const auto& l : lines) text += kStamp + l + L"\r\n";
  return text;
}

std::wstring Closing(RunOutcome::Kind kind, const std::wstring& message = L"") { return ClosingLine({kind, message}); }

// The pre-flight up to the image read, for the image of `kind`.
std::vector<std::wstring> PreFlight(ImageKind kind) {
  const bool boot = kind == ImageKind::Boot;
  const std::wstring name = boot ? kBootImageName : kOsImageName;
  return {L"update started",
          L"version file: EbootHigh=1 EbootLow=3 MustUpdateEboot=no",
          L"version query 10/10: boot loader 0x0102 (1.2)",
          L"device version taken: 0x0102 (1.2); image chosen: " + name,
          L"download to device \\\\?\\usb#vid_0000&pid_0000#r47#{guid}",
          L"image " + name + (boot ? L": 100000 bytes, boot image" : L": 300007 bytes, OS image"),
          L"image " + name + L" SHA-256 00ff"};
}

std::vector<std::wstring> Joined(std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

using K = RunOutcome::Kind;
using S = DeviceStage::Kind;

TEST(LastRun, TheLogTellsWhatTheRunDidToTheHandheld) {
  const std::wstring broken = L"transfer broken: 4 chunks written, 65536 bytes, system error 233 (0x000000E9): x";
  const std::vector<std::wstring> os = PreFlight(ImageKind::Os);
  const std::vector<std::wstring> boot = PreFlight(ImageKind::Boot);
  const std::vector<std::wstring> sent = {L"transfer started: 300007 bytes",
                                          L"status: \"Lädt ROM-Daten herunter: 35 %\"",
                                          L"transfer complete: 19 chunks written, 300007 bytes"};
  const struct {
    const char* what;
    std::vector<std::wstring> lines;
    bool closed;
    K outcome;
    bool transferStarted;
    ImageKind image;
    uint64_t bytesSent;
    bool bytesExact;
    DeviceStage stage;
    bool endedMidFlash, wroteBootLoader;
  } cases[] = {
      {"no update", {Closing(K::NoUpdate)}, true, K::NoUpdate, false, ImageKind::Unknown, 0, false, {}, false, false},
      {"ended in the pre-flight: nothing sent",
       {L"update started", L"version file: not read", Closing(K::PreFlight)},
       true,
       K::PreFlight,
       false,
       ImageKind::Unknown,
       0,
       false,
       {},
       false,
       false},
      {"refused before the first byte: the image was read, never sent",
       Joined(os, {L"failure: checksum mismatch", Closing(K::Failed, L"Die Prüfsumme stimmt nicht")}),
       true,
       K::Failed,
       false,
       ImageKind::Os,
       0,
       false,
       {},
       false,
       false},
      {"killed before the first percentage: sent, as far as unknown",
       Joined(os, {L"transfer started: 300007 bytes"}),
       false,
       K::Unknown,
       true,
       ImageKind::Os,
       0,
       false,
       {},
       true,
       false},
      {"killed mid-transfer: at least the bytes the last percentage stands for",
       Joined(os, {L"transfer started: 300007 bytes", L"status: \"Lädt ROM-Daten herunter: 5 %\"",
                   L"status: \"Lädt ROM-Daten herunter: 7 %\""}),
       false,
       K::Unknown,
       true,
       ImageKind::Os,
       7 * (300007 / 35),
       false,
       {},
       true,
       false},
      {"a broken transfer: the bytes as its end line counts them",
       Joined(os, {L"transfer started: 300007 bytes", L"status: \"Lädt ROM-Daten herunter: 5 %\"", broken,
                   L"failure: connection broken", Closing(K::Failed, L"USB-Verbindung unterbrochen!")}),
       true,
       K::Failed,
       true,
       ImageKind::Os,
       65536,
       true,
       {},
       true,
       false},
      {"the device's format failed after its 40 %",
       Joined(Joined(os, sent), {L"monitor report (128 bytes read): kind 0x20, bytes 1-3 00 28 00: format 40 %",
                                 L"status: \"Lädt ROM-Daten herunter: 56 %\"",
                                 L"monitor report (128 bytes read): kind 0x20, bytes 1-3 00 7F 00: format failed",
                                 L"failure: device reported a failure", Closing(K::Failed, L"FORMAT ERROR")}),
       true,
       K::Failed,
       true,
       ImageKind::Os,
       300007,
       true,
       {S::Format, 40, false, true},
       true,
       false},
      {"killed while the device wrote: its last report, not the status lines after the transfer",
       Joined(Joined(os, sent), {L"monitor report (128 bytes read): kind 0x20, bytes 1-3 55 64 00: format finished",
                                 L"monitor report (128 bytes read): kind 0x40, bytes 1-3 00 00 3C: write 60 %",
                                 L"monitor report (128 bytes read): kind 0x00, bytes 1-3 00 00 00: no stage",
                                 L"monitor report (2 bytes read): kind 0x40, too short for its kind: changes nothing"}),
       false,
       K::Unknown,
       true,
       ImageKind::Os,
       300007,
       true,
       {S::Write, 60, false, false},
       true,
       false},
      {"the OS image written",
       Joined(Joined(os, sent), {L"monitor report (128 bytes read): kind 0x40, bytes 1-3 00 00 64: image stored",
                                 L"update completed: OS image stored on the device", Closing(K::Completed)}),
       true,
       K::Completed,
       true,
       ImageKind::Os,
       300007,
       true,
       {S::Write, 100, true, false},
       false,
       false},
      {"the boot loader written",
       Joined(boot, {L"transfer started: 100000 bytes", L"transfer complete: 7 chunks written, 100000 bytes",
                     L"update completed: boot image stored on the device", Closing(K::Completed)}),
       true,
       K::Completed,
       true,
       ImageKind::Boot,
       100000,
       true,
       {},
       false,
       true},
      {"the boot loader written, then killed before the closing line",
       Joined(boot, {L"transfer started: 100000 bytes", L"transfer complete: 7 chunks written, 100000 bytes",
                     L"update completed: boot image stored on the device"}),
       false,
       K::Unknown,
       true,
       ImageKind::Boot,
       100000,
       true,
       {},
       false,
       true},
      {"the last update counts: a device not found, then a transfer killed",
       Joined(Joined(boot, {L"data pipe did not open (device not in flash mode): system error 2",
                            L"status: \"Das Gerät kann im ROM-Flash-Modus nicht gefunden werden.\""}),
              Joined(os, {L"transfer started: 300007 bytes"})),
       false,
       K::Unknown,
       true,
       ImageKind::Os,
       0,
       false,
       {},
       true,
       false},
      {"a completed boot loader, then an update ended in its pre-flight",
       Joined(Joined(boot, {L"transfer started: 100000 bytes", L"update completed: boot image stored on the device"}),
              {L"update started", Closing(K::PreFlight)}),
       true,
       K::PreFlight,
       false,
       ImageKind::Unknown,
       0,
       false,
       {},
       false,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const LastRun run = ReadRunFromText(LogOf(c.lines), L"");
    ASSERT_TRUE(run.programLog);
    EXPECT_EQ(run.started.wYear, 2026);
    EXPECT_EQ(run.started.wMilliseconds, 123);
    EXPECT_EQ(run.closed, c.closed);
    EXPECT_EQ(run.outcome.kind, c.outcome);
    EXPECT_EQ(run.transferStarted, c.transferStarted);
    EXPECT_EQ(run.image, c.image);
    EXPECT_EQ(run.bytesSent, c.bytesSent);
    EXPECT_EQ(run.bytesExact, c.bytesExact);
    EXPECT_EQ(run.lastStage, c.stage) << int(run.lastStage.kind) << " " << run.lastStage.percent;
    EXPECT_EQ(EndedMidFlash(run), c.endedMidFlash);
    EXPECT_EQ(WroteBootLoader(run), c.wroteBootLoader);
    if (c.image == ImageKind::Os) {
      EXPECT_EQ(run.imageName, kOsImageName);
      EXPECT_EQ(run.imageSize, 300007u);
    }
    if (c.wroteBootLoader) {
      EXPECT_TRUE(run.bootVersionKnown);
      EXPECT_EQ(run.bootVersion, 0x0103);
      EXPECT_TRUE(ConfirmsBootLoader(run, 0x0103));
      EXPECT_FALSE(ConfirmsBootLoader(run, 0x0102));
    }
  }
}

TEST(LastRun, OnlyALogThatBeginsWithTheStartLineIsARun) {
  const struct {
    const char* what;
    std::wstring text;
    bool programLog;
  } cases[] = {
      {"the start line", std::wstring(kStamp) + L"r47flash 1.0.0.0 started, process 12\r\n", true},
      {"no version in the resource", std::wstring(kStamp) + L"r47flash  started, process 12\r\n", true},
      {"with a remark", std::wstring(kStamp) + L"r47flash 1.0 started, process 12; no log file could be made", true},
      {"empty", L"", false},
      {"no time stamp", L"r47flash 1.0.0.0 started, process 12\r\n", false},
      {"a damaged time stamp", L"2026-13-07 09:05:02.123  r47flash 1.0.0.0 started, process 12", false},
      {"another first line", std::wstring(kStamp) + L"update started\r\n" + kStamp + StartLine(L"1", 1), false},
      {"no process id", std::wstring(kStamp) + L"r47flash 1.0.0.0 started, process \r\n", false},
      {"another program's", std::wstring(kStamp) + L"r47flashX 1.0 started, process 12\r\n", false},
      {"text", L"Hallo\r\nr47flash ends; outcome: completed\r\n", false},
  };
  for (const auto& c : cases) {
    const LastRun run = ReadRunFromText(c.text, L"");
    EXPECT_EQ(run.programLog, c.programLog) << c.what;
    if (!c.programLog) {
      EXPECT_FALSE(EndedMidFlash(run)) << c.what;
      EXPECT_EQ(run.outcome.kind, K::Unknown) << c.what;
    }
  }
}

TEST(LastRun, ALongLogIsReadFromItsHeadAndItsEnd) {
  // The start and the image in the head, the device's last report and no closing line
  // in the end: a run killed while the device wrote.
  const std::wstring head = LogOf(Joined(PreFlight(ImageKind::Os), {L"transfer started: 300007 bytes"}));
  const std::wstring tail = std::wstring(kStamp) + L"transfer complete: 19 chunks written, 300007 bytes\r\n" + kStamp +
                            L"monitor report (128 bytes read): kind 0x40, bytes 1-3 00 00 14: write 20 %\r\n";
  LastRun run = ReadRunFromText(head, tail);
  EXPECT_TRUE(run.cut);
  EXPECT_EQ(run.image, ImageKind::Os);
  EXPECT_EQ(run.bytesSent, 300007u);
  EXPECT_EQ(run.lastStage, (DeviceStage{S::Write, 20, false, false}));
  EXPECT_FALSE(run.closed);
  EXPECT_TRUE(EndedMidFlash(run));
  // The closing line is looked for in the end only.
  run = ReadRunFromText(head + kStamp + Closing(K::Completed) + L"\r\n", tail);
  EXPECT_FALSE(run.closed);
}

// The reader reads what the program writes: the same calls as a run makes them.
TEST(LastRun, TheLinesTheProgramWritesAreReadBack) {
  auto window = std::make_shared<RecordedEvents>();
  std::shared_ptr<FlashEvents> events = LoggedEvents(window);
  auto run = [&](ImageKind kind, bool completes) {
    const size_t before = FlashLogText().size();
    const bool boot = kind == ImageKind::Boot;
    const std::wstring name = boot ? kBootImageName : kOsImageName;
    const uint32_t size = boot ? 100000 : 300007;
    LogLine(StartLine(L"1.2.3.4", 77));
    LogUpdateStarted();
    LogVersionFile(true, 1, 3, false);
    LogVersionChoice(0x0102, name);
    events->DeviceUsed("\\\\?\\usb#r47");
    events->ImageLoaded(name, size, kind);
    events->ImageChecksum(name, "00ff");
    events->TransferStarted(size);
    events->StatusPercent(5);
    LogStatus(ProgressStatusText(5));  // as the window shows it
    events->Progress(5, false);
    events->StatusPercent(9);
    LogStatus(ProgressStatusText(9));  // as the window shows it
    if (completes) {
      events->TransferEnded(7, size, 0);
      StatusReport report{};
      report[0] = 0x40;
      report[3] = 100;
      events->MonitorReport(report, 128);
      events->StatusPercent(100);
      LogStatus(ProgressStatusText(100));  // as the window shows it
      events->Success(kind);
      events->Done();
      LogRunEnd();
    }
    return ReadRunFromText(FlashLogText().substr(before), L"");
  };

  LastRun boot = run(ImageKind::Boot, true);
  EXPECT_TRUE(boot.programLog);
  EXPECT_TRUE(boot.closed);
  EXPECT_EQ(boot.outcome.kind, K::Completed);
  EXPECT_EQ(boot.imageName, kBootImageName);
  EXPECT_EQ(boot.imageSize, 100000u);
  EXPECT_EQ(boot.bytesSent, 100000u);
  EXPECT_TRUE(boot.bytesExact);
  EXPECT_EQ(boot.lastStage, (DeviceStage{S::Write, 100, true, false}));
  EXPECT_TRUE(WroteBootLoader(boot));
  EXPECT_TRUE(ConfirmsBootLoader(boot, 0x0103));
  EXPECT_FALSE(EndedMidFlash(boot));

  // Killed after the status line's 9 %: a run's log as the disk keeps it.
  LastRun killed = run(ImageKind::Os, false);
  EXPECT_FALSE(killed.closed);
  EXPECT_TRUE(killed.transferStarted);
  EXPECT_EQ(killed.image, ImageKind::Os);
  EXPECT_EQ(killed.bytesSent, 9u * (300007 / 35));
  EXPECT_FALSE(killed.bytesExact);
  EXPECT_TRUE(EndedMidFlash(killed));
}

TEST(LastRun, TheNewestRunIsFoundAndItsNoticeIsMarkedOnce) {
  TempDir dir;
  const std::wstring folder = dir.Path() + L"logs";
  CreateDirectoryW(folder.c_str(), nullptr);
  auto write = [&](const wchar_t* name, const std::wstring& text) {
    std::string bytes = "\xEF\xBB\xBF";
    for (wchar_t c : text) bytes += static_cast<char>(c < 0x80 ? c : '?');
    std::ofstream(Narrow(folder + L"\\" + name), std::ios::binary) << bytes;
  };
  const std::wstring killed = folder + L"\\r47flash-20260102-080000-12.log";
  write(L"r47flash-20260101-080000-11.log", LogOf({Closing(K::NoUpdate)}));
  write(L"r47flash-20260102-080000-12.log",
        LogOf(Joined(PreFlight(ImageKind::Os), {L"transfer started: 300007 bytes"})));
  // Newer, but a run that sent nothing, and files that are no runs of this program's:
  // passed over.
  write(L"r47flash-20260102-090000-16.log", LogOf(Joined(PreFlight(ImageKind::Os), {Closing(K::PreFlight)})));
  write(L"r47flash-20260103-080000-13.log", L"");
  write(L"r47flash-20260104-080000-14.log", L"Hallo");
  // This run's own file.
  write(L"r47flash-20260105-080000-15.log", LogOf({}));

  std::wstring path;
  LastRun run;
  ASSERT_TRUE(ReadNewestFlashRun(folder, folder + L"\\r47flash-20260105-080000-15.log", &path, &run));
  EXPECT_EQ(path, killed);
  EXPECT_TRUE(EndedMidFlash(run));
  EXPECT_FALSE(ReadNewestFlashRun(dir.Path() + L"none", L"", &path, &run));

  EXPECT_FALSE(MidFlashNoticeShown(killed));
  EXPECT_TRUE(MarkMidFlashNoticeShown(killed));
  EXPECT_TRUE(MidFlashNoticeShown(killed));
  EXPECT_FALSE(MidFlashNoticeShown(folder + L"\\r47flash-20260101-080000-11.log"));
  EXPECT_EQ(KeptLogPaths(folder, L"").size(), 6u) << "the mark is no log";

  // The mark goes with its log.
  PruneLogFiles(folder, 3);
  EXPECT_EQ(GetFileAttributesW(killed.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(MidFlashNoticeShown(killed));
  EXPECT_EQ(KeptLogPaths(folder, L"").size(), 3u);
}

}  // namespace
