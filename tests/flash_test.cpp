// Download start, worker and flash monitor, in this process against the simulated
// handheld: what the user sees (boxes, bar, status line, buttons) and what the
// device received.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "app/controls.h"
#include "app/download_view.h"
#include "app/failure_table.h"
#include "app/logged_events.h"
#include "app/taskbar.h"
#include "flash/download.h"
#include "flash/monitor.h"
#include "flash/monitor_rules.h"
#include "images/discovery.h"
#include "recorded_events.h"
#include "res/resource.h"
#include "sim_harness.h"
#include "test_support.h"
#include "text/text.h"
#include "util/system_text.h"

using namespace testing_support;
using simctl::SimDevice;

namespace {

const std::wstring kProgressPrefix = L"Lädt ROM-Daten herunter: ";
const std::wstring kDone = L"USB erfolgreich heruntergeladen!";
const std::wstring kBroken =
    L"USB-Verbindung unterbrochen! Zum Aktualisieren des ROM-Bilds wiederholen Sie den Vorgang zum "
    L"Aktualisieren des Bildes.";
const std::wstring kOsUpdated = L"Image erfolgreich aktualisiert. r47 wird automatisch neu gestartet.";
const std::wstring kBootReset =
    L"Gehen Sie folgendermaßen vor, um das Upgrade vorzunehmen:\r\n\n1. Stellen Sie den Hard-Reset-Schalter in die "
    L"OFF \n(AUS)-Position.\r\n\n2. Halten Sie den Stromschalter gedrückt und stellen \n    den "
    L"Hard-Reset-Schalter in die ON (EIN)-Position.\r\n\n3. Warten Sie bitte fünf Sekunden, bevor Sie "
    L"den Stromschalter loslassen.\r\n";
const std::wstring kFormatFailedCaption = L"FORMAT\u5931\u6557";
const std::wstring kWriteFailedCaption = L"\u4e0b\u8f09\u5931\u6557";

// Quick device stages so the monitor sees a few steps in a few seconds.
const std::vector<std::string> kQuickFlash = {"--step", "25", "--pace-ms", "300"};

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::wstring Percent(int value) { return kProgressPrefix + std::to_wstring(value) + L" %"; }

// A status text of the flash monitor's stages (40 % and above), not of the transfer.
bool IsMonitorText(const std::wstring& t) {
  return t.compare(0, kProgressPrefix.size(), kProgressPrefix) == 0 &&
         std::stoi(t.substr(kProgressPrefix.size())) >= kFormatStageStart;
}

// One download from a program folder holding the given image under the given name.
class Download {
 public:
  Download(const std::wstring& name, const std::vector<uint8_t>& image, const std::vector<std::string>& simArgs,
           bool withDevice = true)
      : name_(name), image_(image) {
    dir_.Write(kOsImageName, MakeImage("X000FF\n", 64));
    dir_.Write(kBootImageName, MakeImage("B000FF\n", 64));
    dir_.Write(name, image);
    window_.reset(new TestWindow(dir_.Path()));
    SendMessageW(window_->Item(IDC_IMAGE_LIST), CB_SELECTSTRING, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(name.c_str()));
    if (withDevice) {
      device_ = SimDevice::Start(simArgs);
      EXPECT_TRUE(device_) << simctl::LastError();
    }
    recorder_.reset(new ControlRecorder(window_->Item(IDC_PROGRESS), window_->Item(IDC_STATUS)));
    // As the pre-flight leaves the window at a start attempt: the box was ticked for
    // the click, and the data pipe is about to open.
    window_->Click(IDC_ACK);
    SetPhase(window_->state(), Phase::Connecting);
  }
  ~Download() {
    recorder_.reset();
    window_.reset();
  }

  // The pre-flight's last steps, here on the window's thread: the image read and
  // checked, then one start attempt to the run's device.
  StartResult Start() {
    auto events = LoggedEvents(WindowEvents(window_->hwnd()));
    VerifiedImage image;
    if (!ReadVerifiedImage(dir_.Path(), name_, events, nullptr, &image)) return StartResult::Refused;
    StartResult started = StartDownload(image, events, pin_);
    if (started == StartResult::Started) SetPhase(window_->state(), Phase::Transfer);
    return started;
  }

  // Starts, then serves the window until the program would end.
  StartResult StartAndRun(DWORD timeoutMs = 60000) {
    StartResult started = Start();
    if (started == StartResult::Started) ended_ = PumpUntilQuit(timeoutMs);
    return started;
  }

  // The device saw no data connection at all.
  bool NoDataConnection() const { return device_->Events().find("PIPE01: open") == std::string::npos; }

  std::vector<int> Bars() const { return recorder_->Positions(); }
  std::vector<std::wstring> Texts() const { return recorder_->Texts(); }
  std::vector<uint8_t> Received() const {
    auto r = device_->ReceivedStream();
    return std::vector<uint8_t>(r.begin(), r.end());
  }

  TempDir dir_;
  std::wstring name_;
  std::vector<uint8_t> image_;
  DevicePin pin_;
  std::unique_ptr<TestWindow> window_;
  std::unique_ptr<SimDevice> device_;
  std::unique_ptr<ControlRecorder> recorder_;
  BoxWatcher boxes_;
  bool ended_ = false;
};

bool OnlyExitEnabled(const TestWindow& w) {
  return w.Enabled(IDC_EXIT) && !w.Enabled(IDC_UPDATE) && !w.Enabled(IDC_ACK) && !w.Enabled(IDC_NOTES) &&
         !w.Enabled(IDC_README) && !w.Enabled(IDC_IMAGE_LIST);
}

bool Idle(const TestWindow& w) {
  return w.Enabled(IDC_EXIT) && w.Enabled(IDC_UPDATE) && w.Enabled(IDC_ACK) && w.Enabled(IDC_NOTES) &&
         w.Enabled(IDC_README) && !w.Enabled(IDC_IMAGE_LIST);
}

struct SuccessCase {
  const char* name;
  bool boot;
  uint32_t size;
  std::vector<unsigned> writes;
  std::vector<int> transferBars;   // bar positions during the transfer
  std::vector<int> transferTexts;  // status percentages during the transfer
  bool monitored;
};

class SuccessfulDownload : public ::testing::TestWithParam<SuccessCase> {};

TEST_P(SuccessfulDownload, StreamArrivesWholeAndTheRightMessageCloses) {
  const SuccessCase& c = GetParam();
  std::vector<uint8_t> image = MakeImage(c.boot ? "B000FF\n" : "X000FF\n", c.size);
  // The closing message follows the header, whichever file carried it.
  Download d(c.boot ? kBootImageName : kOsImageName, image, kQuickFlash);
  ASSERT_TRUE(d.device_);
  ASSERT_EQ(d.StartAndRun(), StartResult::Started);
  ASSERT_TRUE(d.ended_) << "the worker must end the program";

  ASSERT_TRUE(d.device_->WaitForEvent("image of"));
  EXPECT_TRUE(d.Received() == image) << "received " << d.Received().size() << " of " << image.size();
  std::vector<unsigned> writes = c.writes;
  for (uint32_t left = c.size; writes.empty() && left > 0;) {
    // Not spelled out in the case: whole chunks and the rest.
    for (; left > 0; left -= std::min<uint32_t>(left, 16384)) writes.push_back(std::min<uint32_t>(left, 16384));
  }
  EXPECT_EQ(d.device_->WriteSizes(), writes);

  std::vector<int> bars = d.Bars();
  std::vector<std::wstring> texts = d.Texts();
  ASSERT_GE(bars.size(), c.transferBars.size() + 1);
  EXPECT_EQ(std::vector<int>(bars.begin(), bars.begin() + c.transferBars.size()), c.transferBars);
  EXPECT_EQ(bars.back(), 100);
  // The taskbar button follows the bar to its end.
  EXPECT_EQ(d.window_->state().taskbar.state, TaskbarState::Progress);
  EXPECT_EQ(d.window_->state().taskbar.position, 100);
  std::vector<std::wstring> transferTexts;
  for (int v : c.transferTexts) transferTexts.push_back(Percent(v));
  ASSERT_GE(texts.size(), transferTexts.size() + 2);
  EXPECT_EQ(std::vector<std::wstring>(texts.begin(), texts.begin() + transferTexts.size()), transferTexts);
  EXPECT_EQ(texts[texts.size() - 2], Percent(100));
  EXPECT_EQ(texts.back(), kDone);

  if (c.monitored) {
    // The monitor moves on from 40; the bar never shows more than 95 before the end.
    // (the transfer itself fills at most a 35th per 35th of the image: up to 36)
    std::vector<int> monitorBars;
    for (size_t i = 0; i + 1 < bars.size(); ++i)
      if (bars[i] >= 40) monitorBars.push_back(bars[i]);
    ASSERT_FALSE(monitorBars.empty());
    for (int b : monitorBars) EXPECT_LE(b, 95);
    std::vector<unsigned char> packet(32, 0x55);
    packet[0] = 0x64;
    EXPECT_EQ(d.device_->CommandPacket(), packet);
  } else {
    EXPECT_TRUE(d.device_->CommandPacket().empty());
  }

  std::vector<BoxRecord> boxes = d.boxes_.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, L"USB Update Success!");
  EXPECT_EQ(boxes[0].text, c.boot ? kBootReset : kOsUpdated);
  EXPECT_EQ(boxes[0].icon, BoxRecord::Information);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SuccessfulDownload,
                         ::testing::Values(SuccessCase{"Boot100000",
                                                       true,
                                                       100000,
                                                       {16384, 16384, 16384, 16384, 16384, 16384, 1696},
                                                       {49, 65, 81},
                                                       {17, 22, 28},
                                                       false},
                                           SuccessCase{"Os131072IsSmall",
                                                       false,
                                                       131072,
                                                       std::vector<unsigned>(8, 16384),
                                                       {25, 37, 75, 87},
                                                       {8, 13, 26, 30},
                                                       false},
                                           SuccessCase{"Os131079IsLarge",
                                                       false,
                                                       131079,
                                                       {16384, 16384, 16384, 16384, 16384, 16384, 16384, 16384, 7},
                                                       {8, 13, 26, 30},
                                                       {8, 13, 26, 30},
                                                       true},
                                           SuccessCase{"Os16384OneWrite", false, 16384, {16384}, {}, {}, false},
                                           SuccessCase{"Boot300007Large", true, 300007, {}, {}, {}, true}),
                         [](const ::testing::TestParamInfo<SuccessCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(DownloadProgress, LastUpdateOfAnOvershootingImage) {
  std::vector<uint8_t> image = MakeImage("X000FF\n", 300007);
  Download d(kOsImageName, image, kQuickFlash);
  ASSERT_TRUE(d.device_);
  ASSERT_EQ(d.StartAndRun(), StartResult::Started);
  EXPECT_TRUE(d.Received() == image);
  std::vector<std::wstring> texts = d.Texts();
  auto firstMonitorText = std::find_if(texts.begin(), texts.end(), IsMonitorText);
  ASSERT_NE(firstMonitorText, texts.begin());
  EXPECT_EQ(*(firstMonitorText - 1), Percent(36));
}

TEST(DownloadStart, NoDeviceChangesNothing) {
  Download d(kOsImageName, MakeImage("X000FF\n", 1000), {}, false);
  std::wstring status = d.window_->Text(IDC_STATUS);
  EXPECT_EQ(d.Start(), StartResult::NoDevice);
  Pump(300);
  EXPECT_TRUE(d.boxes_.Boxes().empty());
  EXPECT_EQ(d.window_->Text(IDC_STATUS), status);
  EXPECT_FALSE(d.window_->Enabled(IDC_EXIT));  // still as busy as the caller left it
}

TEST(DownloadStart, RefusedImagesAreReportedAndReleased) {
  // With both images present the discovery does not read the boot image's header,
  // so a damaged boot image is first noticed here. The large images replace a small
  // one after discovery; they are sparse, so nothing of them fills the disk.
  struct Case {
    const char* name;
    const wchar_t* file;
    std::string content;  // empty: the file vanished after discovery (unless sparse)
    std::wstring text;
    uint64_t sparseSize = 0;
    bool held = false;  // another program holds the file (without sharing) after discovery
  };
  const std::wstring held =
      L"Datei Quon_r47PDA.ubi wird von einem anderen Programm verwendet.\nSchließen Sie das andere Programm und "
      L"versuchen Sie es erneut.";
  std::vector<Case> cases = {
      {"CarriageReturn", kBootImageName, "X000FF\r\nrest", L"Image-Datei fehlerhaft!"},
      {"TooShort", kBootImageName, "B000F", L"Image-Datei fehlerhaft!"},
      {"Vanished", kOsImageName, "", L"Datei Quon_r47PDA.ubi kann nicht gefunden werden!"},
      // Never sent cut short to its lower 32 bits.
      {"FourGiB", kOsImageName, "", L"Datei Quon_r47PDA.ubi ist zu groß! Ein Image muss kleiner als 4 GB sein.",
       1ull << 32},
      {"FourGiBAndMore", kBootImageName, "",
       L"Datei Quon_r47Boot.ubi ist zu groß! Ein Image muss kleiner als 4 GB sein.", (1ull << 32) + 16384},
      // There, but held by another program: named as held, not as missing.
      {"Held", kOsImageName, "X000FF\nrest", held, 0, true},
  };
  if (sizeof(void*) == 4) {
    // No 32-bit process has a block of 4 GiB - 1 to hold it; the 64-bit one would read it.
    cases.push_back({"BeyondMemory", kOsImageName, "",
                     L"Datei Quon_r47PDA.ubi ist zu groß für den freien Arbeitsspeicher!\n\nSchließen Sie andere "
                     L"Programme und versuchen Sie es erneut.",
                     0xFFFFFFFFull});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> content(c.content.begin(), c.content.end());
    if (content.empty()) content = MakeImage("X000FF\n", 100);
    Download d(c.file, content, {});
    ASSERT_TRUE(d.device_);
    if (c.sparseSize) {
      ASSERT_TRUE(MakeSparseFile(d.dir_.File(c.file), c.sparseSize));
    } else if (c.content.empty()) {
      d.dir_.Remove(c.file);
    }
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (c.held) {
      holder = CreateFileW(d.dir_.File(c.file).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(d.Start(), StartResult::Refused);
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
    ASSERT_TRUE(d.boxes_.WaitForBoxes(1, 5000));
    BoxRecord box = d.boxes_.Boxes()[0];
    EXPECT_EQ(box.text, c.text);
    EXPECT_EQ(box.caption, L"Error");
    EXPECT_EQ(box.icon, BoxRecord::Error);
    EXPECT_EQ(d.window_->Text(IDC_STATUS), c.text.substr(0, c.text.find(L'\n'))) << "the box's first line";
    EXPECT_TRUE(Idle(*d.window_));
    EXPECT_FALSE(IsDownloadRunning());
    // Refused before the data pipe opens: the device saw no connection at all, and
    // the image file is not held open.
    EXPECT_TRUE(d.NoDataConnection()) << d.device_->Events();
    if (!c.content.empty() || c.sparseSize) {
      EXPECT_TRUE(DeleteFileW(d.dir_.File(c.file).c_str()));
    }
  }
}

// A read that failed, came short or stalled is named with the file and the system's
// own words; the status line takes the box's first line. A read given up because the
// program ends shows nothing.
TEST(FailureViews, UnreadableImagesNameTheFileAndTheSystemsCause) {
  const struct {
    DWORD error;
    const char* why;
  } cases[] = {{ERROR_HANDLE_EOF, "short read"}, {ERROR_CRC, "read error"}, {ERROR_TIMEOUT, "stalled read"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    FlashFailure f;
    f.kind = FlashFailure::Kind::ImageUnreadable;
    f.imageName = kBootImageName;
    f.systemError = c.error;
    const FailureView view = ViewOf(f);
    const std::wstring firstLine = view.text.substr(0, view.text.find(L'\n'));
    EXPECT_EQ(firstLine, L"Datei Quon_r47Boot.ubi kann nicht gelesen werden!");
    EXPECT_NE(view.text.find(L"\nEs wurde nichts an das Gerät gesendet."), std::wstring::npos) << Narrow(view.text);
    EXPECT_NE(view.text.find(L"Windows meldet: " + SystemErrorText(c.error)), std::wstring::npos) << Narrow(view.text);
    EXPECT_EQ(view.caption, L"Error");
    EXPECT_EQ(view.icon, BoxIcon::Error);
    EXPECT_TRUE(view.statusLine);
    EXPECT_EQ(view.controls, ControlsAfter::Idle);
  }
  FlashFailure givenUp;
  givenUp.kind = FlashFailure::Kind::ImageReadGivenUp;
  givenUp.imageName = kBootImageName;
  givenUp.systemError = ERROR_CANCELLED;
  EXPECT_TRUE(ViewOf(givenUp).text.empty());
  EXPECT_FALSE(ViewOf(givenUp).statusLine);
}

// The window's thread stays at the window while an image loads on the pre-flight's
// thread: a message sent to the window in the middle of the load is answered before
// the load has ended. The load is held after its first piece until that answer came
// (or long after it should have), so the order shown does not depend on how fast
// anything runs.
TEST(ImageLoad, TheWindowAnswersWhileALargeImageLoads) {
  const uint64_t size = 512ull << 20;
  Download d(kOsImageName, MakeImage("X000FF\n", 64), {});
  ASSERT_TRUE(d.device_);
  // All zeros: damaged, so the device gets nothing of it once it is read.
  ASSERT_TRUE(MakeSparseFile(d.dir_.File(kOsImageName), size));

  std::mutex mutex;
  std::vector<std::string> order;
  auto note = [&](const char* what) {
    std::lock_guard<std::mutex> lock(mutex);
    order.push_back(what);
  };
  HANDLE ask = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE answered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HWND window = d.window_->hwnd();
  std::thread sender([&] {
    if (WaitForSingleObject(ask, 120000) == WAIT_OBJECT_0) {
      DWORD_PTR result = 0;
      if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &result)) note("answered");
    }
    SetEvent(answered);
  });

  // The window's own events, with the load's progress and end noted on the way.
  class Noted : public FlashEvents {
   public:
    Noted(std::shared_ptr<FlashEvents> window, std::function<void(const char*)> note, HANDLE ask, HANDLE answered)
        : window_(std::move(window)), note_(std::move(note)), ask_(ask), answered_(answered) {}
    void Progress(int value, bool done) override { window_->Progress(value, done); }
    void StatusPercent(int percent) override { window_->StatusPercent(percent); }
    void Failure(const FlashFailure& f) override { window_->Failure(f); }
    void Success(ImageKind kind) override { window_->Success(kind); }
    void Done() override { window_->Done(); }
    void ImageReadProgress(uint32_t, uint32_t) override {
      if (asked_.exchange(true)) return;
      note_("reading");
      SetEvent(ask_);
      WaitForSingleObject(answered_, 20000);
    }
    void ImageLoaded(const std::wstring& name, uint32_t bytes, ImageKind kind) override {
      note_("loaded");
      window_->ImageLoaded(name, bytes, kind);
    }

   private:
    std::shared_ptr<FlashEvents> window_;
    std::function<void(const char*)> note_;
    HANDLE ask_, answered_;
    std::atomic<bool> asked_{false};
  };

  // Read on a thread of its own, as the pre-flight reads it.
  std::atomic<bool> verified{true};
  std::thread reader([&] {
    VerifiedImage image;
    verified = ReadVerifiedImage(d.dir_.Path(), kOsImageName,
                                 std::make_shared<Noted>(WindowEvents(window), note, ask, answered), nullptr, &image);
    SetEvent(ask);  // the sender ends even if the load never reported
  });
  EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(answered, 0) == WAIT_OBJECT_0; }, 150000));
  reader.join();
  sender.join();
  CloseHandle(ask);
  CloseHandle(answered);

  EXPECT_FALSE(verified);
  EXPECT_EQ(order, (std::vector<std::string>{"reading", "answered", "loaded"}));
  // The whole file was read: the size field shows what was read.
  ASSERT_TRUE(d.boxes_.WaitForBoxes(1, 5000));
  EXPECT_EQ(d.boxes_.Boxes()[0].text, L"Image-Datei fehlerhaft!");
  EXPECT_EQ(d.window_->Text(IDC_IMAGE_SIZE), std::to_wstring(size >> 10) + L" K");
  EXPECT_TRUE(d.NoDataConnection()) << d.device_->Events();
}

TEST(DownloadStart, WorkerKeepsTheWindowBusyAndNoSecondDownloadStarts) {
  std::vector<uint8_t> image = MakeImage("X000FF\n", 400000);
  Download d(kOsImageName, image, {"--step", "50", "--pace-ms", "1500"});
  ASSERT_TRUE(d.device_);
  ASSERT_EQ(d.Start(), StartResult::Started);
  EXPECT_FALSE(d.window_->Enabled(IDC_UPDATE));
  EXPECT_FALSE(d.window_->Enabled(IDC_EXIT));
  EXPECT_TRUE(IsDownloadRunning());
  // A second start while the first runs: refused, and nothing of it reaches the device.
  EXPECT_EQ(d.Start(), StartResult::Refused);
  ASSERT_TRUE(PumpUntilQuit(60000));
  EXPECT_FALSE(IsDownloadRunning());
  EXPECT_TRUE(d.Received() == image);
  EXPECT_EQ(d.device_->Events().find("PIPE01: empty connection"), std::string::npos);
}

struct FailureCase {
  const char* name;
  std::vector<std::string> simArgs;
  std::wstring caption;
  std::wstring text;
  BoxRecord::Icon icon;
  bool onlyExit;
  bool closesVisible = true;  // a hanging device no longer watches its pipes
};

class FailedFlash : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailedFlash, ReportedNeverSuccessAndTheProgramEnds) {
  const FailureCase& c = GetParam();
  std::vector<uint8_t> image = MakeImage("X000FF\n", 200000);
  Download d(kOsImageName, image, With(kQuickFlash, c.simArgs));
  ASSERT_TRUE(d.device_);
  ASSERT_EQ(d.StartAndRun(90000), StartResult::Started);
  EXPECT_TRUE(d.ended_);
  std::vector<BoxRecord> boxes = d.boxes_.Boxes();
  ASSERT_EQ(boxes.size(), 1u) << "one failure box and no success box";
  EXPECT_EQ(boxes[0].caption, c.caption);
  EXPECT_EQ(boxes[0].icon, c.icon);
  EXPECT_EQ(boxes[0].text, c.text);
  EXPECT_EQ(d.window_->state().taskbar.state, TaskbarState::Error) << "the taskbar button shows the failure";
  if (c.onlyExit) {
    EXPECT_TRUE(OnlyExitEnabled(*d.window_));
    EXPECT_EQ(d.window_->Text(IDC_STATUS), kBroken);
  } else {
    EXPECT_FALSE(d.window_->Enabled(IDC_EXIT));  // busy until the end
  }
  for (const std::wstring& t : d.Texts()) EXPECT_NE(t, kDone);
  EXPECT_TRUE(d.device_->CommandPacket().empty() || c.caption == L"start");
  // Every pipe the program opened was closed again (or cut by the device's unplug).
  if (c.closesVisible) {
    EXPECT_TRUE(PumpUntil(
        [&] {
          std::string e = d.device_->Events();
          return CountOf(e, "PIPE00: open") == CountOf(e, "PIPE00: close") &&
                 CountOf(e, "PIPE01: open") == CountOf(e, "PIPE01: close");
        },
        10000))
        << d.device_->Events();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailedFlash,
    ::testing::Values(
        FailureCase{
            "UnplugDuringTransfer", {"--unplug-at", "transfer:70000"}, L"Error", kBroken, BoxRecord::Error, true},
        FailureCase{"UnplugDuringMonitor", {"--unplug-at", "format:50"}, L"Error", kBroken, BoxRecord::Error, true},
        // The device comes back between two polls, in its state before an image.
        FailureCase{"ReplugDuringWrite",
                    {"--unplug-at", "write:50", "--replug-after-ms", "100"},
                    L"Error",
                    kBroken,
                    BoxRecord::Error,
                    true},
        // The device answers every poll but its format stage never moves on.
        FailureCase{"StalledFormat", {"--pace-ms", "600000"}, L"Error", kBroken, BoxRecord::Error, true},
        FailureCase{"HungStatusPipe", {"--hang", "reads:1"}, L"Error", kBroken, BoxRecord::Error, true, false},
        FailureCase{"HungDataPipe", {"--hang", "writes:50000"}, L"Error", kBroken, BoxRecord::Error, true, false},
        FailureCase{"FormatFailure",
                    {"--format-fail-at", "50", "--fail-text", "FORMAT ERROR 42"},
                    kFormatFailedCaption,
                    // The report from its first byte: kind, filler, failure code, text.
                    L" E\x7f FORMAT ERROR 42",
                    BoxRecord::None,
                    false},
        FailureCase{"WriteFailure",
                    {"--write-fail-at", "50", "--fail-text", "WRITE ERROR 7"},
                    kWriteFailedCaption,
                    L"@E \x7fWRITE ERROR 7",
                    BoxRecord::None,
                    false},
        FailureCase{
            "CommandPacketLost", {"--unplug-at", "command"}, L"start", L"bResult Error", BoxRecord::None, false}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(FailureReports, TextIsTheReportUpToItsFirstZeroOrAllOfIt) {
  for (bool noZero : {false, true}) {
    std::vector<std::string> args = With(kQuickFlash, {"--write-fail-at", "25"});
    if (noZero) args.push_back("--no-zero");
    Download d(kOsImageName, MakeImage("X000FF\n", 140000), args);
    ASSERT_TRUE(d.device_);
    ASSERT_EQ(d.StartAndRun(), StartResult::Started);
    std::vector<BoxRecord> boxes = d.boxes_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    const std::wstring& text = boxes[0].text;
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text[0], L'@');  // the write report's own kind byte
    EXPECT_NE(text.find(L"WRITE ERROR"), std::wstring::npos);
    EXPECT_EQ(text.size() == 128u, noZero);
  }
}

TEST(FlashMonitor, EmptyReadRepeatsTheLastReport) {
  std::vector<uint8_t> image = MakeImage("X000FF\n", 150000);
  Download d(kOsImageName, image, {"--step", "25", "--pace-ms", "0", "--empty-every", "2"});
  ASSERT_TRUE(d.device_);
  ASSERT_EQ(d.StartAndRun(), StartResult::Started);
  ASSERT_NE(d.device_->Events().find("[empty: 0 bytes]"), std::string::npos);
  // Every second poll reads nothing: it shows the previous report's value again.
  std::vector<std::wstring> monitorTexts;
  for (const std::wstring& t : d.Texts()) {
    if (IsMonitorText(t)) monitorTexts.push_back(t);
  }
  ASSERT_GE(monitorTexts.size(), 4u);
  EXPECT_EQ(monitorTexts[0], Percent(40));
  EXPECT_EQ(monitorTexts[1], monitorTexts[0]);
  EXPECT_NE(monitorTexts[2], monitorTexts[1]);
  EXPECT_EQ(monitorTexts[3], monitorTexts[2]);
  EXPECT_EQ(d.boxes_.Boxes().size(), 1u);
  EXPECT_FALSE(d.device_->CommandPacket().empty());
}

TEST(FlashMonitor, IgnoresOtherReportKinds) {
  std::vector<uint8_t> image = MakeImage("X000FF\n", 150000);
  Download d(kOsImageName, image, With(kQuickFlash, {"--garbage-kinds"}));
  ASSERT_TRUE(d.device_);
  ASSERT_EQ(d.StartAndRun(), StartResult::Started);
  std::vector<BoxRecord> boxes = d.boxes_.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kOsUpdated);
  EXPECT_FALSE(d.device_->CommandPacket().empty());
}

TEST(WindowReports, ThoseForAWindowThatIsGoneAreFreed) {
  HWND window = CreateWindowW(L"STATIC", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(window);
  std::shared_ptr<FlashEvents> events = WindowEvents(window);
  std::thread([&] { events->StatusPercent(1); }).join();
  EXPECT_EQ(DownloadReportsWaiting(), 1u);
  DestroyWindow(window);  // its message is never read
  // The worker goes on reporting and ends; nothing it reported stays behind, and
  // its last report does not wait for a window that will never come back.
  std::thread([&] {
    events->StatusPercent(2);
    events->Done();
  }).join();
  EXPECT_EQ(DownloadReportsWaiting(), 0u);
}

// The flash code on its own, with no window at all: what it reports, in order, and
// the system's cause that comes with each failure.
TEST(FlashEvents, ReportedWithoutAWindowAndWithTheirCause) {
  using Kind = FlashFailure::Kind;
  struct Case {
    const char* name;
    std::string header;  // empty: no image file at all
    uint32_t size;
    bool device;
    std::vector<std::string> simArgs;
    StartResult result;
    bool failed;
    Kind kind;
    DWORD systemError;        // MAXDWORD: any nonzero code
    uint64_t sparseSize = 0;  // instead of the header: a sparse file of this size
  } cases[] = {
      {"NoDevice", "X000FF\n", 1000, false, {}, StartResult::NoDevice, false, Kind::ImageMissing, 0},
      {"Vanished", "", 0, true, {}, StartResult::Refused, true, Kind::ImageMissing, ERROR_FILE_NOT_FOUND},
      {"Damaged", "X000FF\r", 1000, true, {}, StartResult::Refused, true, Kind::ImageDamaged, 0},
      {"FourGiB", "", 0, true, {}, StartResult::Refused, true, Kind::ImageTooLarge, ERROR_FILE_TOO_LARGE, 1ull << 32},
      {"UnplugDuringTransfer",
       "X000FF\n",
       200000,
       true,
       {"--unplug-at", "transfer:70000"},
       StartResult::Started,
       true,
       Kind::ConnectionBroken,
       ERROR_BROKEN_PIPE},
      {"UnplugDuringMonitor", "X000FF\n", 200000, true, With(kQuickFlash, {"--unplug-at", "format:50"}),
       StartResult::Started, true, Kind::ConnectionBroken, MAXDWORD},
      {"Stored", "X000FF\n", 200000, true, kQuickFlash, StartResult::Started, false, Kind::ImageMissing, 0},
  };
  SetAppInstance(GetModuleHandleW(nullptr));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (!c.header.empty()) dir.Write(kOsImageName, MakeImage(c.header, c.size));
    if (c.sparseSize) {
      ASSERT_TRUE(MakeSparseFile(dir.File(kOsImageName), c.sparseSize));
    }
    std::unique_ptr<SimDevice> device;
    if (c.device) {
      device = SimDevice::Start(c.simArgs);
      ASSERT_TRUE(device) << simctl::LastError();
    }
    auto events = std::make_shared<testing_support::RecordedEvents>();
    StartResult result = StartResult::Refused;
    {
      VerifiedImage image;
      DevicePin pin;
      if (ReadVerifiedImage(dir.Path(), kOsImageName, events, nullptr, &image))
        result = StartDownload(image, events, pin);
    }
    ASSERT_EQ(result, c.result);
    if (c.result == StartResult::Started) {
      ASSERT_TRUE(events->WaitForDone(60000));
      // The worker lets go of its events only as it returns: from then on nothing
      // more can be reported.
      const DWORD start = GetTickCount();
      while (events.use_count() > 1 && GetTickCount() - start < 10000) Sleep(10);
      ASSERT_EQ(events.use_count(), 1);
      std::vector<std::string> log = events->Log();
      // The end comes once, last, whichever way the download went.
      EXPECT_EQ(std::count(log.begin(), log.end(), "done"), 1);
      EXPECT_EQ(log.back(), "done");
    }
    std::vector<FlashFailure> failures = events->Failures();
    std::vector<std::string> log = events->Log();
    if (!c.failed) {
      EXPECT_TRUE(failures.empty());
      if (c.result == StartResult::NoDevice) {
        // The image was read and checked; nothing after it.
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "image Quon_r47PDA.ubi 1000");
      }
    } else {
      ASSERT_EQ(failures.size(), 1u);
      EXPECT_EQ(failures[0].kind, c.kind);
      if (c.systemError == MAXDWORD) {
        EXPECT_NE(failures[0].systemError, 0u);
      } else {
        EXPECT_EQ(failures[0].systemError, c.systemError);
      }
    }
    if (c.result == StartResult::Started && !c.failed) {
      // The closing message (which brings the last status text), then the end.
      ASSERT_GE(log.size(), 2u);
      EXPECT_EQ(log[log.size() - 2], "success " + std::to_string(static_cast<int>(ImageKind::Os)));
    }
  }
}

}  // namespace
