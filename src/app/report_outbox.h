// Hands reports from worker threads to the window's thread without ever losing or
// leaking one. The reports wait here; a posted message carries no report, only the
// news that some wait (at most one such message is on its way at a time). A post
// that fails leaves its reports waiting for the next try; reports for a window that
// is gone are freed here, not leaked with messages that nobody will read.
#pragma once
#include <windows.h>

#include <deque>
#include <functional>
#include <memory>

template <typename Report>
class ReportOutbox {
 public:
  ReportOutbox() { InitializeCriticalSection(&lock_); }
  ~ReportOutbox() { DeleteCriticalSection(&lock_); }
  ReportOutbox(const ReportOutbox&) = delete;
  ReportOutbox& operator=(const ReportOutbox&) = delete;

  // Posts the news of the waiting reports; false when that failed.
  using Post = std::function<bool()>;
  // Whether the window the reports are for still exists.
  using Alive = std::function<bool()>;

  // Queues one report and posts the news unless some is on its way already.
  void Put(std::unique_ptr<Report> report, const Post& post, const Alive& alive) {
    if (!alive()) {
      TakeAll();  // nobody will show them: freed with `report`
      return;
    }
    Enter();
    reports_.push_back(std::move(report));
    bool mustPost = !posted_;
    posted_ = true;
    Leave();
    if (mustPost) PostNews(post, alive);
  }

  // True when reports wait with no news of them on its way (a post failed).
  bool Stranded() {
    Enter();
    bool stranded = !posted_ && !reports_.empty();
    Leave();
    return stranded;
  }

  // Posts again for stranded reports; frees them when the window is gone.
  void Repost(const Post& post, const Alive& alive) {
    Enter();
    bool mustPost = !posted_ && !reports_.empty();
    if (mustPost) posted_ = true;
    Leave();
    if (mustPost) PostNews(post, alive);
  }

  // Every waiting report, oldest first; the next Put posts anew.
  std::deque<std::unique_ptr<Report>> TakeAll() {
    std::deque<std::unique_ptr<Report>> all;
    Enter();
    all.swap(reports_);
    posted_ = false;
    Leave();
    return all;
  }

  size_t Size() {
    Enter();
    size_t n = reports_.size();
    Leave();
    return n;
  }

 private:
  void PostNews(const Post& post, const Alive& alive) {
    if (post()) return;
    if (!alive()) {
      TakeAll();
      return;
    }
    Enter();
    posted_ = false;  // kept: the next Put or Repost tries again
    Leave();
  }
  void Enter() { EnterCriticalSection(&lock_); }
  void Leave() { LeaveCriticalSection(&lock_); }

  CRITICAL_SECTION lock_{};
  std::deque<std::unique_ptr<Report>> reports_;
  bool posted_ = false;  // a message with the news is on its way
};
