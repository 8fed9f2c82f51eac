#include "app/download_view.h"

#include <deque>
#include <string>

#include "app/controls.h"
#include "app/earlier_run.h"
#include "app/failure_table.h"
#include "app/flash_guard.h"
#include "app/flash_log.h"
#include "app/logged_events.h"
#include "app/report_outbox.h"
#include "app/status_texts.h"
#include "app/taskbar.h"
#include "app/update_rules.h"
#include "app/way_back.h"
#include "app/way_back_rules.h"
#include "app/window_messages.h"
#include "app/window_state.h"
#include "res/resource.h"
#include "text/text.h"

namespace {

using Report = DownloadReport;

// Reports from other threads wait here until the window's thread takes them. The one
// process-wide part of a download's reporting, owned by no window: worker threads may
// still deliver while the window, and the program, end. Never destroyed.
ReportOutbox<Report>& TheOutbox() {
  static auto* outbox = new ReportOutbox<Report>;
  return *outbox;
}

// How long a worker waits between tries to post the news of its last report.
constexpr DWORD kRepostPauseMs = 50;

UINT BoxFlags(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::Error:
      return MB_OK | MB_ICONERROR;
    case BoxIcon::Information:
      return MB_OK | MB_ICONINFORMATION;
    case BoxIcon::None:
      break;
  }
  return MB_OK;
}

// The pre-flight is over, one way or the other: its thread has sent its last report.
void PreflightOver(MainWindowState& state, bool started) {
  state.preflight.thread.reset();  // it ends by itself now; nobody waits for it
  state.preflight.control.reset();
  // A started download keeps the guard until it reports its end.
  if (!started) EndFlashGuard(state.guard, state.window);
}

void ShowFailure(MainWindowState& state, const FlashFailure& f) {
  const FailureView view = ViewOf(f);
  ShowTaskbarError(state.taskbar, state.window);
  if (!view.text.empty()) {
    ShowBox(view.ownerless ? nullptr : state.controls.status, view.text, view.caption, BoxFlags(view.icon));
  }
  // The box's line in the log has the rest.
  if (view.statusLine) ShowStatus(state, view.text.substr(0, view.text.find(L'\n')));
  switch (view.controls) {
    case ControlsAfter::Idle:
      SetPhase(state, Phase::Idle);
      break;
    case ControlsAfter::OnlyExit:
      SetPhase(state, Phase::Broken);
      break;
    case ControlsAfter::Busy:
      break;  // the window stays busy until the program ends
  }
}

// Nothing was sent: the message in a box and on the status line, the window idle.
void EndWithoutFlash(MainWindowState& state, UINT textId) {
  const std::wstring text = LoadText(textId);
  ShowTaskbarError(state.taskbar, state.window);
  ShowError(state.window, text);
  ShowStatus(state, text);
  SetPhase(state, Phase::Idle);
}

UINT RefusalText(PreflightEvents::Refusal refusal) {
  switch (refusal) {
    case PreflightEvents::Refusal::SeveralDevices:
      return IDS_SEVERAL_DEVICES;
    case PreflightEvents::Refusal::DeviceBusy:
      return IDS_DEVICE_BUSY;
    case PreflightEvents::Refusal::DeviceNotFound:
      break;
  }
  return IDS_DEVICE_NOT_FOUND;
}

// A stage of the pre-flight with its count, e.g. "... 3 von 10".
void ShowStage(const MainWindowState& state, UINT textId, int step, int steps) {
  const int numbers[] = {step, steps};
  ShowStatus(state, FormatText(LoadText(textId), nullptr, 0, numbers, 2));
}

void ShowImageChosen(const MainWindowState& state, uint16_t deviceVersion) {
  ShowStatus(state, ImageChosenText(deviceVersion, state.versionFile.bootHigh, state.versionFile.bootLow,
                                    ImageNameAt(state.chosenImage), BootLoaderConfirmed(state, deviceVersion)));
}

void Apply(MainWindowState& state, const Report& r) {
  switch (r.kind) {
    case Report::Kind::Progress:
      SetProgress(state, r.value, r.done);
      break;
    case Report::Kind::StatusPercent:
      ShowStatus(state, ProgressStatusText(r.value));
      break;
    case Report::Kind::Failure: {
      // The phase the failure came in, before the Parts' box and the phase after it.
      const Phase before = state.phase;
      ShowFailure(state, r.failure);
      ShowWayBack(state, r.failure, before);
      break;
    }
    case Report::Kind::Success:
      FlashTaskbarIfBehind(state.taskbar, state.window, GetForegroundWindow());
      ShowBox(state.controls.status, SuccessText(r.image), SuccessCaption(), MB_OK | MB_ICONINFORMATION);
      ShowStatus(state, FinishedStatusText());
      break;
    case Report::Kind::Done:
      SetPhase(state, Phase::Ending);
      EndFlashGuard(state.guard, state.window);
      EndProgram(state.window);
      break;
    case Report::Kind::ImageSize:
      ShowImageSize(state.window, r.size);
      state.seen.image = r.image;
      state.seen.imageSize = r.size;
      // A download started without the pre-flight's choice: the file of its kind.
      if (state.seen.imageName.empty())
        state.seen.imageName = ImageNameAt(r.image == ImageKind::Boot ? kBootImageIndex : kOsImageIndex);
      break;
    case Report::Kind::DeviceStage:
      state.seen.stage = r.stage;
      break;
    case Report::Kind::TransferEnded:
      state.seen.bytesSent = r.bytes;
      // The device formats and writes what came whole; a broken transfer says so next.
      if (!r.systemError && state.phase == Phase::Transfer) SetPhase(state, Phase::Monitor);
      break;
    case Report::Kind::Waiting:
      // Until an attempt opens the data pipe nothing is sent: Exit stays available
      // through the waits and the queries, and ends the program as at idle.
      SetPhase(state, Phase::Preflight);
      break;
    case Report::Kind::VersionQuery:
      ShowStage(state, IDS_STAGE_VERSION_QUERY, r.value, r.count);
      break;
    case Report::Kind::ImageChosen:
      state.chosenImage = r.value;
      state.seen = FlashSeen{};
      state.seen.imageName = ImageNameAt(r.value);
      SendDlgItemMessageW(state.window, IDC_IMAGE_LIST, CB_SETCURSEL, static_cast<WPARAM>(r.value), 0);
      // The size found at start; once the image is read, the window shows the size read.
      ShowImageSize(state.window, r.value == kOsImageIndex ? state.found.osSize : state.found.bootSize);
      state.chosenDeviceVersion = r.deviceVersion;
      break;
    case Report::Kind::ImageVerified:
      ShowImageChosen(state, state.chosenDeviceVersion);
      break;
    case Report::Kind::StartAttempt:
      ShowStage(state, IDS_STAGE_ATTEMPT, r.value, r.count);
      SetPhase(state, Phase::Connecting);
      break;
    case Report::Kind::AttemptFailed:
      SetPhase(state, Phase::Preflight);
      break;
    case Report::Kind::Refused:
      EndWithoutFlash(state, RefusalText(r.refusal));
      break;
    case Report::Kind::PreflightEnded:
      if (r.done) SetPhase(state, Phase::Transfer);
      // Stopped, or refused with its own box: idle again unless the program ends.
      else if (state.phase != Phase::Ending)
        SetPhase(state, Phase::Idle);
      PreflightOver(state, r.done);
      break;
  }
}

void Receive(MainWindowState& state, std::unique_ptr<Report> report) {
  state.reports.push_back(std::move(report));
  // A box opened below serves messages: later reports queue up behind it.
  if (state.applyingReports) return;
  state.applyingReports = true;
  while (!state.reports.empty()) {
    std::unique_ptr<Report> next = std::move(state.reports.front());
    state.reports.pop_front();
    Apply(state, *next);
  }
  state.applyingReports = false;
}

// Delivers reports to one window, from whichever thread calls.
class Deliverer {
 public:
  explicit Deliverer(HWND window) : window_(window), thread_(GetWindowThreadProcessId(window, nullptr)) {}

 protected:
  static std::unique_ptr<Report> Make(Report::Kind kind) {
    auto r = std::make_unique<Report>();
    r->kind = kind;
    return r;
  }

  // Posting, not sending: the worker never waits for the window (a cross-thread send
  // costs more than the 16 KiB write it reports on). Posted messages keep their order.
  void Deliver(std::unique_ptr<Report> r) {
    if (GetCurrentThreadId() == thread_) {
      MainWindowState* state = StateOf(window_);
      if (!state) return;
      // Whatever other threads reported first comes first.
      for (auto& waiting : TheOutbox().TakeAll())
        if (waiting->window == window_) Receive(*state, std::move(waiting));
      Receive(*state, std::move(r));
      return;
    }
    r->window = window_;
    TheOutbox().Put(std::move(r), PostNews(), Alive());
  }

  // Nothing follows a thread's last report to post its news: post it until it goes,
  // or until the window is gone (the reports are then freed).
  void DeliverLast(std::unique_ptr<Report> r) {
    Deliver(std::move(r));
    while (GetCurrentThreadId() != thread_ && TheOutbox().Stranded()) {
      Sleep(kRepostPauseMs);
      TheOutbox().Repost(PostNews(), Alive());
    }
  }

 private:
  ReportOutbox<Report>::Post PostNews() const {
    HWND window = window_;
    return [window] { return PostMessageW(window, kDownloadReportMessage, 0, 0) != FALSE; };
  }
  ReportOutbox<Report>::Alive Alive() const {
    HWND window = window_;
    return [window] { return IsWindow(window) != FALSE; };
  }

  HWND window_;
  DWORD thread_;
};

class WindowFlashEvents : public FlashEvents, Deliverer {
 public:
  explicit WindowFlashEvents(HWND window) : Deliverer(window) {}

  void Progress(int value, bool done) override {
    auto r = Make(Report::Kind::Progress);
    r->value = value;
    r->done = done;
    Deliver(std::move(r));
  }
  void StatusPercent(int percent) override {
    auto r = Make(Report::Kind::StatusPercent);
    r->value = percent;
    Deliver(std::move(r));
  }
  void Failure(const FlashFailure& failure) override {
    auto r = Make(Report::Kind::Failure);
    r->failure = failure;
    Deliver(std::move(r));
  }
  void Success(ImageKind kind) override {
    auto r = Make(Report::Kind::Success);
    r->image = kind;
    Deliver(std::move(r));
  }
  void Done() override { DeliverLast(Make(Report::Kind::Done)); }
  // The size shown is the size read, which is the size sent: the file may have been
  // replaced since the program started.
  void ImageLoaded(const std::wstring&, uint32_t size, ImageKind kind) override {
    auto r = Make(Report::Kind::ImageSize);
    r->size = size;
    r->image = kind;
    Deliver(std::move(r));
  }
  void TransferEnded(uint32_t, uint64_t bytesSent, DWORD systemError) override {
    auto r = Make(Report::Kind::TransferEnded);
    r->bytes = bytesSent;
    r->systemError = systemError;
    Deliver(std::move(r));
  }
  // The stage each report shows, as data: the window keeps the last one for the
  // window after a failure. Reports that show none leave it as it was.
  void MonitorReport(const StatusReport& report, DWORD bytesRead) override {
    DeviceStageSeen seen;
    if (!StageOfReport(report, bytesRead, &seen)) return;
    auto r = Make(Report::Kind::DeviceStage);
    r->stage = seen;
    Deliver(std::move(r));
  }
};

class WindowPreflightEvents : public PreflightEvents, Deliverer {
 public:
  explicit WindowPreflightEvents(HWND window) : Deliverer(window) {}

  void Waiting() override { Deliver(Make(Report::Kind::Waiting)); }
  void VersionQuery(int query, int queries) override { Counted(Report::Kind::VersionQuery, query, queries); }
  void ImageChosen(int index, uint16_t deviceVersion) override {
    auto r = Make(Report::Kind::ImageChosen);
    r->value = index;
    r->deviceVersion = deviceVersion;
    Deliver(std::move(r));
  }
  void ImageVerified() override { Deliver(Make(Report::Kind::ImageVerified)); }
  void StartAttempt(int attempt, int attempts) override { Counted(Report::Kind::StartAttempt, attempt, attempts); }
  void AttemptFailed() override { Deliver(Make(Report::Kind::AttemptFailed)); }
  void Refused(Refusal refusal) override {
    auto r = Make(Report::Kind::Refused);
    r->refusal = refusal;
    Deliver(std::move(r));
  }
  void PreflightEnded(bool started) override {
    auto r = Make(Report::Kind::PreflightEnded);
    r->done = started;
    DeliverLast(std::move(r));
  }

 private:
  void Counted(Report::Kind kind, int step, int steps) {
    auto r = Make(kind);
    r->value = step;
    r->count = steps;
    Deliver(std::move(r));
  }
};

}  // namespace

std::shared_ptr<FlashEvents> WindowEvents(HWND window) { return std::make_shared<WindowFlashEvents>(window); }

void HandleDownloadReport(MainWindowState& state) {
  // A report for a window that is gone is freed with the rest.
  for (auto& r : TheOutbox().TakeAll())
    if (r->window == state.window) Receive(state, std::move(r));
}

size_t DownloadReportsWaiting() { return TheOutbox().Size(); }

std::shared_ptr<PreflightEvents> WindowPreflightReports(HWND window) {
  return std::make_shared<WindowPreflightEvents>(window);
}
