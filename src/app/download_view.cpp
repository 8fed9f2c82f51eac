#include "app/download_view.h"

#include <deque>
#include <string>

#include "app/controls.h"
#include "app/failure_table.h"
#include "app/flash_guard.h"
#include "app/flash_log.h"
#include "app/logged_events.h"
#include "app/report_outbox.h"
#include "app/taskbar.h"
#include "app/window_messages.h"
#include "app/window_state.h"
#include "res/resource.h"

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

void ShowFailure(MainWindowState& state, const FlashFailure& f) {
  const FailureView view = ViewOf(f);
  ShowTaskbarError(state.taskbar, state.window);
  if (!view.text.empty()) {
    MessageBoxW(view.ownerless ? nullptr : state.controls.status, view.text.c_str(), view.caption.c_str(),
                BoxFlags(view.icon));
  }
  if (view.statusLine) {
    const std::wstring firstLine = view.text.substr(0, view.text.find(L'\n'));
    SetStatusText(state, firstLine);
    LogStatus(firstLine);  // the box's line in the log has the rest
  }
  switch (view.controls) {
    case ControlsAfter::Idle:
      SetControlsEnabled(state, true);
      break;
    case ControlsAfter::OnlyExit:
      SetControlsEnabled(state, true);
      SetControlsFailed(state);
      break;
    case ControlsAfter::Busy:
      break;  // the window stays busy until the program ends
  }
}

void Apply(MainWindowState& state, const Report& r) {
  switch (r.kind) {
    case Report::Kind::Progress:
      SetProgress(state, r.value, r.done);
      break;
    case Report::Kind::StatusPercent:
      SetStatusText(state, ProgressStatusText(r.value));
      break;
    case Report::Kind::Failure:
      ShowFailure(state, r.failure);
      break;
    case Report::Kind::Success:
      FlashTaskbarIfBehind(state.taskbar, state.window, GetForegroundWindow());
      MessageBoxW(state.controls.status, SuccessText(r.image).c_str(), SuccessCaption().c_str(),
                  MB_OK | MB_ICONINFORMATION);
      SetStatusText(state, FinishedStatusText());
      break;
    case Report::Kind::Done:
      EndFlashGuard(state.guard, state.window);
      EndProgram(state.window);
      break;
    case Report::Kind::ImageSize:
      ShowImageSize(state.window, r.size);
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

class WindowFlashEvents : public FlashEvents {
 public:
  explicit WindowFlashEvents(HWND window) : window_(window), thread_(GetWindowThreadProcessId(window, nullptr)) {}

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
  void Done() override {
    Deliver(Make(Report::Kind::Done));
    // Nothing follows the last report to post its news: post it until it goes, or
    // until the window is gone (the reports are then freed).
    while (GetCurrentThreadId() != thread_ && TheOutbox().Stranded()) {
      Sleep(kRepostPauseMs);
      TheOutbox().Repost(PostNews(), Alive());
    }
  }
  // The size shown is the size read, which is the size sent: the file may have been
  // replaced since the program started.
  void ImageLoaded(const std::wstring&, uint32_t size, ImageKind) override {
    auto r = Make(Report::Kind::ImageSize);
    r->size = size;
    Deliver(std::move(r));
  }

 private:
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

}  // namespace

std::shared_ptr<FlashEvents> WindowEvents(HWND window) { return std::make_shared<WindowFlashEvents>(window); }

void HandleDownloadReport(MainWindowState& state) {
  // A report for a window that is gone is freed with the rest.
  for (auto& r : TheOutbox().TakeAll())
    if (r->window == state.window) Receive(state, std::move(r));
}

size_t DownloadReportsWaiting() { return TheOutbox().Size(); }

StartResult StartSelectedDownload(MainWindowState& state) {
  DevicePin firstPresent;
  return StartSelectedDownload(state, firstPresent);
}

StartResult StartSelectedDownload(MainWindowState& state, DevicePin& pin) {
  wchar_t name[64] = {};
  GetDlgItemTextW(state.window, IDC_IMAGE_LIST, name, 64);
  StartResult result = StartDownload(state.programDirectory, name, LoggedEvents(WindowEvents(state.window)), pin);
  // Busy while the worker runs, whatever state the window was found in, so that
  // nothing can start a second download meanwhile.
  if (result == StartResult::Started) SetControlsEnabled(state, false);
  return result;
}
