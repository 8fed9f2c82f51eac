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
#include "res/resource.h"

namespace {

// One report, owned by whoever holds it: the posted message, then the queue.
struct Report {
  enum class Kind { Progress, StatusPercent, Failure, Success, Done, ImageSize } kind = Kind::Progress;
  int value = 0;
  uint32_t size = 0;
  bool done = false;
  ImageKind image = ImageKind::Unknown;
  FlashFailure failure;
  HWND window = nullptr;  // the window it is for
};

std::deque<std::unique_ptr<Report>> g_waiting;
bool g_applying;

// Reports from other threads wait here until the window's thread takes them. Never
// destroyed: worker threads may still deliver while the program ends.
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

void ShowFailure(const FlashFailure& f) {
  const FailureView view = ViewOf(f);
  ShowTaskbarError(MainWindow());
  if (!view.text.empty()) {
    MessageBoxW(view.ownerless ? nullptr : StatusLine(), view.text.c_str(), view.caption.c_str(), BoxFlags(view.icon));
  }
  if (view.statusLine) SetStatusText(view.text.substr(0, view.text.find(L'\n')));  // its first line
  switch (view.controls) {
    case ControlsAfter::Idle:
      SetControlsEnabled(true);
      break;
    case ControlsAfter::OnlyExit:
      SetControlsEnabled(true);
      SetControlsFailed();
      break;
    case ControlsAfter::Busy:
      break;  // the window stays busy until the program ends
  }
}

void Apply(HWND window, const Report& r) {
  switch (r.kind) {
    case Report::Kind::Progress:
      SetProgress(r.value, r.done);
      break;
    case Report::Kind::StatusPercent:
      SetStatusText(ProgressStatusText(r.value));
      break;
    case Report::Kind::Failure:
      ShowFailure(r.failure);
      break;
    case Report::Kind::Success:
      MessageBoxW(StatusLine(), SuccessText(r.image).c_str(), SuccessCaption().c_str(), MB_OK | MB_ICONINFORMATION);
      SetStatusText(FinishedStatusText());
      break;
    case Report::Kind::Done:
      EndFlashGuard(window);
      EndProgram(window);
      break;
    case Report::Kind::ImageSize:
      ShowImageSize(window, r.size);
      break;
  }
}

void Receive(HWND window, std::unique_ptr<Report> report) {
  g_waiting.push_back(std::move(report));
  // A box opened below serves messages: later reports queue up behind it.
  if (g_applying) return;
  g_applying = true;
  while (!g_waiting.empty()) {
    std::unique_ptr<Report> next = std::move(g_waiting.front());
    g_waiting.pop_front();
    Apply(window, *next);
  }
  g_applying = false;
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
      // Whatever other threads reported first comes first.
      for (auto& waiting : TheOutbox().TakeAll())
        if (waiting->window == window_) Receive(window_, std::move(waiting));
      Receive(window_, std::move(r));
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

void HandleDownloadReport(HWND window) {
  // A report for a window that is gone is freed with the rest.
  for (auto& r : TheOutbox().TakeAll())
    if (r->window == window) Receive(window, std::move(r));
}

size_t DownloadReportsWaiting() { return TheOutbox().Size(); }

StartResult StartSelectedDownload(HWND window) {
  DevicePin firstPresent;
  return StartSelectedDownload(window, firstPresent);
}

StartResult StartSelectedDownload(HWND window, DevicePin& pin) {
  wchar_t name[64] = {};
  GetDlgItemTextW(window, IDC_IMAGE_LIST, name, 64);
  StartResult result = StartDownload(name, LoggedEvents(WindowEvents(window)), pin);
  // Busy while the worker runs, whatever state the window was found in, so that
  // nothing can start a second download meanwhile.
  if (result == StartResult::Started) SetControlsEnabled(false);
  return result;
}
