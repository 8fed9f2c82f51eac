// r47sim: a simulated r47 handheld in ROM flash mode.
//
// While plugged in it serves three named pipes: \\.\pipe\NAME (the device
// interface; open and close only), \\.\pipe\NAME\PIPE00 (status reports, read
// by the PC) and \\.\pipe\NAME\PIPE01 (image and command packet, written by
// the PC). It records everything written to it and can misbehave on demand;
// see sim/README.md for the options.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "options.h"

namespace r47sim {
namespace {

constexpr size_t kReportSize = 128;
constexpr uint64_t kLargeImage = 131072;  // larger images are formatted and written
constexpr size_t kCommandSize = 32;
constexpr DWORD kStopWaitMs = 5000;
constexpr size_t kListening = 8;  // listening instances per pipe

// printf-style text for the device's logs.
std::string VFormat(const char* fmt, va_list ap) {
  char text[1024];
  std::vsnprintf(text, sizeof text, fmt, ap);
  return text;
}

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = VFormat(fmt, ap);
  va_end(ap);
  return text;
}

// ---------------------------------------------------------------- records

class Recorder {
 public:
  bool Open(const std::string& dir) {
    dir_ = dir;
    CreateDirectoryA(dir.c_str(), nullptr);
    DeleteFileA(Path("ready").c_str());
    DeleteFileA(Path("stream.bin").c_str());
    DeleteFileA(Path("command.bin").c_str());
    events_ = std::fopen(Path("events.txt").c_str(), "wb");
    writes_ = std::fopen(Path("writes.txt").c_str(), "wb");
    start_ = GetTickCount64();
    return events_ && writes_;
  }
  ~Recorder() {
    for (FILE* f : {events_, writes_, stream_})
      if (f) std::fclose(f);
  }

  void Event(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = VFormat(fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lock(mutex_);
    unsigned long long ms = GetTickCount64() - start_;
    std::fprintf(stdout, "%8llu %s\n", ms, text.c_str());
    std::fflush(stdout);
    if (events_) {
      std::fprintf(events_, "%llu %s\n", ms, text.c_str());
      std::fflush(events_);
    }
  }

  void Write(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = VFormat(fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lock(mutex_);
    if (writes_) {
      std::fprintf(writes_, "%s\n", text.c_str());
      std::fflush(writes_);
    }
  }

  // A new image replaces the recorded stream.
  void StartStream() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stream_) std::fclose(stream_);
    stream_ = std::fopen(Path("stream.bin").c_str(), "wb");
  }
  void AppendStream(const unsigned char* data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stream_ && size) {
      std::fwrite(data, 1, size, stream_);
      std::fflush(stream_);
    }
  }
  void WriteWholeFile(const char* name, const unsigned char* data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (FILE* f = std::fopen(Path(name).c_str(), "wb")) {
      if (size) std::fwrite(data, 1, size, f);
      std::fclose(f);
    }
  }

 private:
  std::string Path(const char* name) const { return dir_ + "\\" + name; }
  std::string dir_;
  std::mutex mutex_;
  FILE* events_ = nullptr;
  FILE* writes_ = nullptr;
  FILE* stream_ = nullptr;
  unsigned long long start_ = 0;
};

// ---------------------------------------------------------------- device state

enum class Stage { BeforeImage, Receiving, Held, Flashing };

struct Report {
  enum Action { Send, Hang, Close, Unplug } action = Send;
  unsigned char bytes[kReportSize] = {};
  size_t size = kReportSize;
  std::string summary;
  bool garbage = false;
};

// A report write the PC may already have taken. The device's state moves on
// when a report is taken, and Wine tells the writing thread only when it next
// runs; so a new connection's first report waits until the writes of other
// connections have been settled (bounded, as an idle client may hold one).
struct InFlight {
  unsigned conn = 0;
  Report report;
};
constexpr auto kSettleWait = std::chrono::milliseconds(200);

// Where the flashing of a large image stands after `pos` progress steps.
struct FlashPoint {
  enum Phase { Format, FormatDone, Write, Stored, FormatFailed, WriteFailed } phase;
  unsigned progress;  // percent of the current phase
};

class Device {
 public:
  explicit Device(const Options& opt, Recorder& rec) : opt_(opt), rec_(rec) {}

  // Back to the state of a freshly plugged-in handheld.
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    stage_ = Stage::BeforeImage;
    imageConn_ = 0;
    imageBytes_ = 0;
    reads_ = 0;
    versionItem_ = 0;
    versionUsed_ = 0;
    pos_ = 0;
    flashReports_ = 0;
    garbageReports_ = 0;
    unplugDone_ = false;
    unplugPending_ = false;
  }

  unsigned NextConnection() { return ++connections_; }

  // ---- data channel

  enum class DataRole { Image, Candidate };
  DataRole OpenData(unsigned conn) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stage_ == Stage::BeforeImage) {
      stage_ = Stage::Receiving;
      imageConn_ = conn;
      imageBytes_ = 0;
      return DataRole::Image;
    }
    return DataRole::Candidate;
  }
  bool HasImage() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stage_ == Stage::Held || stage_ == Stage::Flashing;
  }
  void AddImageBytes(uint64_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    imageBytes_ += n;
  }
  void ImageAbandoned(unsigned conn) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stage_ == Stage::Receiving && imageConn_ == conn) stage_ = Stage::BeforeImage;
  }
  void ImageComplete(uint64_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    imageBytes_ = size;
    if (size > kLargeImage) {
      stage_ = Stage::Flashing;
      flashStart_ = GetTickCount64();
      pos_ = 0;
      flashReports_ = 0;
      garbageReports_ = 0;
      rec_.Event("image complete: %llu bytes, large: formatting starts", (unsigned long long)size);
    } else {
      stage_ = Stage::Held;
      rec_.Event("image complete: %llu bytes, small: held", (unsigned long long)size);
    }
  }
  std::string Describe() {
    std::lock_guard<std::mutex> lock(mutex_);
    return DescribeLocked();
  }

  // ---- status channel

  Report NextReport(unsigned conn) {
    std::unique_lock<std::mutex> lock(mutex_);
    settled_.wait_for(lock, kSettleWait, [&] {
      return std::none_of(inflight_.begin(), inflight_.end(), [&](const InFlight* f) { return f->conn != conn; });
    });
    Report r;
    if (unplugPending_) {
      r.action = Report::Unplug;
      r.summary = "unplug";
      return r;
    }
    if (opt_.hangReads && reads_ >= opt_.hangReadsAfter) {
      r.action = Report::Hang;
      r.summary = "hang (deliberate)";
      return r;
    }
    if (stage_ != Stage::Flashing) {
      const VersionItem& v = opt_.versionSequence[versionItem_];
      switch (v.kind) {
        case VersionItem::Version:
        case VersionItem::Bad: {
          // A version reply carries 'U' in byte 4; the bad one 0x54 with the same word.
          bool good = v.kind == VersionItem::Version;
          r.bytes[4] = good ? 0x55 : 0x54;
          r.bytes[6] = static_cast<unsigned char>(v.value & 0xFF);
          r.bytes[7] = static_cast<unsigned char>(v.value >> 8);
          r.summary = good ? Format("version reply 0x%04X", v.value)
                           : Format("report without version mark (byte 4 = 0x54, word 0x%04X)", v.value);
          break;
        }
        case VersionItem::None:
          r.summary = "report without version";
          break;
        case VersionItem::Hang:
          r.action = Report::Hang;
          r.summary = "no answer (version sequence)";
          break;
        case VersionItem::Close:
          r.action = Report::Close;
          r.summary = "connection closed unanswered (version sequence)";
          break;
      }
      if (r.action != Report::Send) AdvanceVersionLocked();
    } else {
      MakeFlashReport(r);
    }
    // An empty message is taken at once, whatever the PC reads; only as the first
    // report of a connection is it the one the PC's read gets.
    bool firstOfConnection = conn != lastStatusConn_;
    lastStatusConn_ = conn;
    if (firstOfConnection && stage_ == Stage::Flashing) ++flashConnections_;
    if (r.action == Report::Send && firstOfConnection && stage_ == Stage::Flashing && opt_.emptyEvery > 0 &&
        flashConnections_ % opt_.emptyEvery == 0) {
      r.size = 0;
      r.summary += " [empty: 0 bytes]";
    } else if (r.action == Report::Send && opt_.shortReport >= 0) {
      r.size = static_cast<size_t>(opt_.shortReport);
      r.summary += Format(" [short: %u bytes]", static_cast<unsigned>(r.size));
    }
    return r;
  }

  void Register(InFlight* f) {
    std::lock_guard<std::mutex> lock(mutex_);
    inflight_.push_back(f);
  }
  // Called when the write of `f` has ended; `taken` when the PC read it.
  // Returns true when the device is to unplug now.
  bool Unregister(InFlight* f, bool taken) {
    std::lock_guard<std::mutex> lock(mutex_);
    inflight_.erase(std::remove(inflight_.begin(), inflight_.end(), f), inflight_.end());
    settled_.notify_all();
    if (!taken) return false;
    bool due = AccountLocked(f->report);
    unplugPending_ = unplugPending_ || due;
    return due;
  }

 private:
  bool AccountLocked(const Report& r) {
    rec_.Event("PIPE00: report taken: %s", r.summary.c_str());
    ++reads_;
    if (stage_ == Stage::Flashing) ++(r.garbage ? garbageReports_ : flashReports_);
    // Judged on the state the PC has just seen, before a read-paced step.
    bool due = FlashUnplugDueLocked();
    if (stage_ != Stage::Flashing) {
      AdvanceVersionLocked();
    } else if (opt_.paceMs == 0 && !r.garbage) {
      ++pos_;
    }
    if (!due && opt_.unplugAt.kind == UnplugPoint::AfterReads && reads_ >= opt_.unplugAt.value) {
      rec_.Event("unplug: after %llu reads", (unsigned long long)reads_);
      due = true;
    }
    return due;
  }

 public:
  // Time-paced flashing is checked by the main loop; true when due to unplug.
  bool FlashUnplugDue() {
    std::lock_guard<std::mutex> lock(mutex_);
    return FlashUnplugDueLocked();
  }
  bool WantsTicks() const {
    return opt_.unplugAt.kind == UnplugPoint::Format || opt_.unplugAt.kind == UnplugPoint::Write;
  }

 private:
  std::string DescribeLocked() {
    switch (stage_) {
      case Stage::BeforeImage:
        return "before image";
      case Stage::Receiving:
        return Format("receiving image (%llu bytes so far)", (unsigned long long)imageBytes_);
      case Stage::Held:
        return Format("small image held (%llu bytes)", (unsigned long long)imageBytes_);
      case Stage::Flashing: {
        FlashPoint p = PointLocked();
        static const char* names[] = {"format", "format finished", "write", "stored", "format failed",
                                      "write failed"};
        return Format("%s %u%%", names[p.phase], p.progress);
      }
    }
    return "?";
  }

  void AdvanceVersionLocked() {
    const VersionItem& v = opt_.versionSequence[versionItem_];
    if (v.count == 0) return;
    if (++versionUsed_ >= v.count && versionItem_ + 1 < opt_.versionSequence.size()) {
      ++versionItem_;
      versionUsed_ = 0;
    }
  }

  unsigned StepsPerPhase() const { return (100 + opt_.step - 1) / opt_.step + 1; }  // 0, s, 2s, .., 100

  uint64_t PosLocked() const {
    if (opt_.paceMs == 0) return pos_;
    return (GetTickCount64() - flashStart_) / opt_.paceMs;
  }

  FlashPoint PointLocked() const {
    const uint64_t pos = PosLocked();
    const uint64_t n = StepsPerPhase();
    auto pct = [&](uint64_t k) { return static_cast<unsigned>(std::min<uint64_t>(100, k * opt_.step)); };
    if (pos < n) {
      unsigned p = pct(pos);
      if (opt_.formatFailAt >= 0 && p >= static_cast<unsigned>(opt_.formatFailAt))
        return {FlashPoint::FormatFailed, static_cast<unsigned>(opt_.formatFailAt)};
      return {FlashPoint::Format, p};
    }
    if (opt_.formatFailAt >= 0) return {FlashPoint::FormatFailed, static_cast<unsigned>(opt_.formatFailAt)};
    if (pos == n) return {FlashPoint::FormatDone, 100};
    if (pos < 2 * n + 1) {
      unsigned p = pct(pos - n - 1);
      if (opt_.writeFailAt >= 0 && p >= static_cast<unsigned>(opt_.writeFailAt))
        return {FlashPoint::WriteFailed, static_cast<unsigned>(opt_.writeFailAt)};
      return {p == 100 ? FlashPoint::Stored : FlashPoint::Write, p};
    }
    if (opt_.writeFailAt >= 0) return {FlashPoint::WriteFailed, static_cast<unsigned>(opt_.writeFailAt)};
    return {FlashPoint::Stored, 100};
  }

  bool FlashUnplugDueLocked() {
    if (stage_ != Stage::Flashing || unplugDone_) return false;
    FlashPoint p = PointLocked();
    bool due = false;
    if (opt_.unplugAt.kind == UnplugPoint::Format)
      due = p.phase != FlashPoint::Format || p.progress >= opt_.unplugAt.value;
    else if (opt_.unplugAt.kind == UnplugPoint::Write)
      due = p.phase == FlashPoint::Stored || p.phase == FlashPoint::WriteFailed ||
            (p.phase == FlashPoint::Write && p.progress >= opt_.unplugAt.value);
    if (due) {
      unplugDone_ = true;
      rec_.Event("unplug: flashing reached %s", DescribeLocked().c_str());
    }
    return due;
  }

  // Text of a failure report: the bytes after the fields, up to a zero byte,
  // or without any zero byte when asked to.
  void FillFailureText(Report& r, size_t from, const std::string& text) {
    size_t i = from;
    for (size_t k = 0; i < kReportSize && k < text.size(); ++k) r.bytes[i++] = static_cast<unsigned char>(text[k]);
    if (opt_.noZero) {
      while (i < kReportSize) r.bytes[i++] = '.';
    } else if (i < kReportSize) {
      r.bytes[i] = 0;
    }
  }

  void MakeFlashReport(Report& r) {
    FlashPoint p = PointLocked();
    if (opt_.garbageKinds && (p.phase == FlashPoint::Format || p.phase == FlashPoint::FormatDone ||
                              p.phase == FlashPoint::Write)) {
      // Every other report taken is garbage, alternating kinds 0x30 and 0x00.
      if ((flashReports_ + garbageReports_) % 2 == 1) {
        // Fields that would end or fail the monitor if the kind were ignored.
        bool zeroKind = garbageReports_ % 2 == 1;
        r.bytes[0] = zeroKind ? 0x00 : 0x30;
        r.bytes[1] = 0x55;
        r.bytes[2] = 0x7F;
        r.bytes[3] = zeroKind ? 0x7F : 100;
        r.bytes[4] = 0x55;
        r.summary = Format("garbage report kind 0x%02X", r.bytes[0]);
        r.garbage = true;
        return;
      }
    }
    switch (p.phase) {
      case FlashPoint::Format:
        r.bytes[0] = 0x20;
        r.bytes[2] = static_cast<unsigned char>(p.progress);
        r.summary = Format("format report %u%%", p.progress);
        break;
      case FlashPoint::FormatDone:
        r.bytes[0] = 0x20;
        r.bytes[1] = 0x55;
        r.bytes[2] = 100;
        r.summary = "format report finished";
        break;
      case FlashPoint::Write:
      case FlashPoint::Stored:
        r.bytes[0] = 0x40;
        r.bytes[3] = static_cast<unsigned char>(p.progress);
        r.summary = Format(p.phase == FlashPoint::Stored ? "write report %u%% (stored)" : "write report %u%%",
                           p.progress);
        break;
      case FlashPoint::FormatFailed:
        // Reads as " E<DEL> FORMAT ERROR ...": kind, filler, failure code, text.
        r.bytes[0] = 0x20;
        r.bytes[1] = 'E';
        r.bytes[2] = 0x7F;
        r.bytes[3] = ' ';
        FillFailureText(r, 4,
                        opt_.failText.empty() ? Format("FORMAT ERROR at %u%% (block 0x%04X)", p.progress,
                                                       0x0400 + p.progress)
                                              : opt_.failText);
        r.summary = Format("format failure report at %u%%", p.progress);
        break;
      case FlashPoint::WriteFailed:
        r.bytes[0] = 0x40;
        r.bytes[1] = 'E';
        r.bytes[2] = ' ';
        r.bytes[3] = 0x7F;
        FillFailureText(r, 4,
                        opt_.failText.empty() ? Format(" WRITE ERROR at %u%% (sector 0x%04X)", p.progress,
                                                       0x2000 + p.progress)
                                              : opt_.failText);
        r.summary = Format("write failure report at %u%%", p.progress);
        break;
    }
  }

  const Options& opt_;
  Recorder& rec_;
  std::mutex mutex_;
  std::atomic<unsigned> connections_{0};
  Stage stage_ = Stage::BeforeImage;
  unsigned imageConn_ = 0;
  uint64_t imageBytes_ = 0;
  uint64_t reads_ = 0;
  size_t versionItem_ = 0;
  unsigned versionUsed_ = 0;
  unsigned long long flashStart_ = 0;
  uint64_t pos_ = 0;
  uint64_t flashReports_ = 0;
  uint64_t garbageReports_ = 0;
  unsigned lastStatusConn_ = 0;     // connection of the latest report
  uint64_t flashConnections_ = 0;   // status connections opened while flashing
  bool unplugDone_ = false;
  std::vector<InFlight*> inflight_;
  std::condition_variable settled_;
  bool unplugPending_ = false;
};

// ---------------------------------------------------------------- pipes

enum class PipeKind { Interface, Status, Data };

const char* PipeLabel(PipeKind k) {
  switch (k) {
    case PipeKind::Interface:
      return "interface";
    case PipeKind::Status:
      return "PIPE00";
    case PipeKind::Data:
      return "PIPE01";
  }
  return "?";
}

class Plug;

// What the main thread is asked to do by a pipe thread.
struct Requests {
  HANDLE event = nullptr;  // auto-reset; wakes the main loop
  std::atomic<int> unplug{0};    // 1: fault unplug, 2: restart after a command
};

// Overlapped I/O on one pipe handle that gives up when the plug is pulled.
class PipeIo {
 public:
  PipeIo(HANDLE pipe, HANDLE stop) : pipe_(pipe), stop_(stop) {
    ov_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~PipeIo() {
    if (ov_.hEvent) CloseHandle(ov_.hEvent);
  }
  enum Result { Done, Failed, Stopped };
  // Read/Write: `transferred` and `error` tell the outcome of Done/Failed.
  Result Read(void* buf, DWORD size, DWORD& transferred, DWORD& error) {
    Result r = Run([&] { return ReadFile(pipe_, buf, size, nullptr, &ov_); }, transferred, error);
    // A read that ends inside a message has filled the buffer; Wine reports
    // 0 bytes for it.
    if (r == Failed && error == ERROR_MORE_DATA && transferred == 0) transferred = size;
    return r;
  }
  Result Write(const void* buf, DWORD size, DWORD& transferred, DWORD& error) {
    return Run([&] { return WriteFile(pipe_, buf, size, nullptr, &ov_); }, transferred, error);
  }

 private:
  template <class F>
  Result Run(F start, DWORD& transferred, DWORD& error) {
    transferred = 0;
    error = 0;
    ResetEvent(ov_.hEvent);
    if (!start()) {
      error = GetLastError();
      if (error != ERROR_IO_PENDING) return Failed;
    }
    HANDLE waits[2] = {ov_.hEvent, stop_};
    DWORD w = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (w != WAIT_OBJECT_0) {
      CancelIoEx(pipe_, &ov_);
      GetOverlappedResult(pipe_, &ov_, &transferred, TRUE);
      return Stopped;
    }
    if (GetOverlappedResult(pipe_, &ov_, &transferred, FALSE)) {
      error = 0;
      return Done;
    }
    error = GetLastError();
    return Failed;
  }
  HANDLE pipe_;
  HANDLE stop_;
  OVERLAPPED ov_{};
};

class Plug {
 public:
  Plug(const Options& opt, Recorder& rec, Device& dev, Requests& req) : opt_(opt), rec_(rec), dev_(dev), req_(req) {
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~Plug() {
    Pull();
    if (stop_) CloseHandle(stop_);
  }

  // Starts serving; true once every pipe has a listening instance.
  bool Insert() {
    for (PipeKind k : {PipeKind::Interface, PipeKind::Status, PipeKind::Data})
      listeners_.emplace_back(&Plug::Listen, this, k);
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [&] { return listening_ + failed_ >= 3; });
    return listening_ == 3;
  }

  // Called from a pipe thread that decided to unplug: every listening
  // instance is gone when this returns, so the PC's next open fails.
  void PullFromInside() {
    SetEvent(stop_);
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [&] { return listenersClosed_ >= 3; });
  }

  // Stops everything and waits for all threads.
  void Pull() {
    SetEvent(stop_);
    for (auto& t : listeners_)
      if (t.joinable()) t.join();
    listeners_.clear();
  }

 private:
  struct Instance {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED ov{};
  };

  std::string PipeName(PipeKind k) const {
    std::string name = "\\\\.\\pipe\\" + opt_.name;
    if (k == PipeKind::Status) name += "\\PIPE00";
    if (k == PipeKind::Data) name += "\\PIPE01";
    return name;
  }

  // A listening instance. Buffers of 0: a PC write completes only once the
  // device has taken the data, and a report is taken only by a PC read.
  bool Create(PipeKind k, Instance& in) {
    DWORD mode = PIPE_WAIT;
    if (k != PipeKind::Interface) mode |= PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE;  // one message per request
    in.pipe = CreateNamedPipeA(PipeName(k).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, mode,
                               PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr);
    if (in.pipe == INVALID_HANDLE_VALUE) {
      rec_.Event("error: cannot create %s instance (error %lu)", PipeLabel(k), GetLastError());
      return false;
    }
    in.ov = OVERLAPPED{};
    in.ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ConnectNamedPipe(in.pipe, &in.ov)) {
      DWORD e = GetLastError();
      if (e == ERROR_PIPE_CONNECTED) {
        SetEvent(in.ov.hEvent);
      } else if (e != ERROR_IO_PENDING) {
        rec_.Event("error: %s listen failed (error %lu)", PipeLabel(k), e);
        Discard(in);
        return false;
      }
    }
    return true;
  }

  static void Discard(Instance& in) {
    if (in.pipe != INVALID_HANDLE_VALUE) {
      CancelIoEx(in.pipe, &in.ov);
      DWORD n;
      GetOverlappedResult(in.pipe, &in.ov, &n, TRUE);
      CloseHandle(in.pipe);
      in.pipe = INVALID_HANDLE_VALUE;
    }
    if (in.ov.hEvent) CloseHandle(in.ov.hEvent);
    in.ov.hEvent = nullptr;
  }

  struct Session {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  // Several instances listen at all times, and a connected one is replaced
  // before it is served, so the device is always openable while plugged in,
  // also when the PC opens a pipe again right after closing it.
  void Listen(PipeKind k) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);  // replace taken instances at once
    Instance pool[kListening];
    bool ok = true;
    for (Instance& in : pool) ok = ok && Create(k, in);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ok ? ++listening_ : ++failed_;
    }
    cv_.notify_all();
    std::vector<Session> sessions;
    while (ok) {
      HANDLE waits[kListening + 1] = {stop_};
      for (size_t i = 0; i < kListening; ++i) waits[i + 1] = pool[i].ov.hEvent;
      DWORD w = WaitForMultipleObjects(kListening + 1, waits, FALSE, INFINITE);
      if (w == WAIT_OBJECT_0 || w == WAIT_FAILED) break;
      Instance& in = pool[w - WAIT_OBJECT_0 - 1];
      DWORD n;
      bool connected = GetOverlappedResult(in.pipe, &in.ov, &n, FALSE) || GetLastError() == ERROR_PIPE_CONNECTED;
      HANDLE client = in.pipe;
      CloseHandle(in.ov.hEvent);
      in = Instance{};
      if (!Create(k, in)) {
        ok = false;
      }
      if (!connected) {
        CloseHandle(client);
        continue;
      }
      sessions.erase(std::remove_if(sessions.begin(), sessions.end(),
                                    [](Session& s) {
                                      if (!s.done->load()) return false;
                                      s.thread.join();
                                      return true;
                                    }),
                     sessions.end());
      auto done = std::make_shared<std::atomic<bool>>(false);
      sessions.push_back(Session{std::thread([this, k, client, done] {
                                   Serve(k, client);
                                   done->store(true);
                                 }),
                                 done});
    }
    for (Instance& in : pool) Discard(in);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++listenersClosed_;
    }
    cv_.notify_all();
    SetEvent(stop_);  // a listener that could not go on takes the device down
    for (auto& s : sessions) s.thread.join();
  }

  void Serve(PipeKind k, HANDLE pipe) {
    unsigned conn = dev_.NextConnection();
    rec_.Event("%s: open (connection %u, device %s)", PipeLabel(k), conn, dev_.Describe().c_str());
    switch (k) {
      case PipeKind::Interface:
        ServeInterface(conn, pipe);
        break;
      case PipeKind::Status:
        ServeStatus(conn, pipe);
        break;
      case PipeKind::Data:
        ServeData(conn, pipe);
        break;
    }
  }

  void RequestUnplug(int how) {
    int expected = 0;
    req_.unplug.compare_exchange_strong(expected, how);
    PullFromInside();
    SetEvent(req_.event);
  }

  void Close(PipeKind k, unsigned conn, HANDLE pipe, const char* why) {
    CloseHandle(pipe);
    rec_.Event("%s: close (connection %u, %s)", PipeLabel(k), conn, why);
  }

  void ServeInterface(unsigned conn, HANDLE pipe) {
    PipeIo io(pipe, stop_);
    unsigned char buf[512];
    DWORD n, err;
    PipeIo::Result r;
    while ((r = io.Read(buf, sizeof buf, n, err)) == PipeIo::Done || (r == PipeIo::Failed && err == ERROR_MORE_DATA)) {
    }
    Close(PipeKind::Interface, conn, pipe, r == PipeIo::Stopped ? "unplugged" : "closed by PC");
  }

  bool WaitStop(DWORD ms) { return WaitForSingleObject(stop_, ms) == WAIT_OBJECT_0; }

  enum class PeekResult { Queued, Closed, Stopped };
  PeekResult WaitForQueuedWrite(HANDLE pipe) {
    for (;;) {
      DWORD avail = 0, left = 0;
      if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, &left)) return PeekResult::Closed;
      if (avail || left) return PeekResult::Queued;
      if (WaitStop(1)) return PeekResult::Stopped;
    }
  }

  void ServeStatus(unsigned conn, HANDLE pipe) {
    PipeIo io(pipe, stop_);
    for (;;) {
      if (opt_.reportDelayMs && WaitStop(opt_.reportDelayMs)) return Close(PipeKind::Status, conn, pipe, "unplugged");
      Report rep = dev_.NextReport(conn);
      if (rep.action == Report::Hang) {
        rec_.Event("PIPE00: %s", rep.summary.c_str());
        WaitStop(INFINITE);
        return Close(PipeKind::Status, conn, pipe, "unplugged while hanging");
      }
      if (rep.action == Report::Close) {
        rec_.Event("PIPE00: %s", rep.summary.c_str());
        return Close(PipeKind::Status, conn, pipe, "closed by device");
      }
      if (rep.action == Report::Unplug) {
        RequestUnplug(1);
        return Close(PipeKind::Status, conn, pipe, "unplugged");
      }
      DWORD n, err;
      // The write completes only when the PC reads (buffer size 0); a
      // zero-byte report, though, completes at once.
      InFlight f;
      f.conn = conn;
      f.report = rep;
      dev_.Register(&f);  // before the PC can possibly take it
      PipeIo::Result r = io.Write(rep.bytes, static_cast<DWORD>(rep.size), n, err);
      bool unplug = dev_.Unregister(&f, r == PipeIo::Done);
      if (unplug) {
        RequestUnplug(1);
        return Close(PipeKind::Status, conn, pipe, "unplugged");
      }
      if (r == PipeIo::Stopped) return Close(PipeKind::Status, conn, pipe, "unplugged");
      if (r == PipeIo::Failed) return Close(PipeKind::Status, conn, pipe, "closed by PC");
      if (rep.size == 0) {
        // An empty message is "written" at once, read or not: one per
        // connection, else the device would flood the pipe with them.
        for (;;) {
          if (WaitStop(5)) return Close(PipeKind::Status, conn, pipe, "unplugged");
          DWORD avail;
          if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr))
            return Close(PipeKind::Status, conn, pipe, "closed by PC");
        }
      }
    }
  }

  void ServeData(unsigned conn, HANDLE pipe) {
    PipeIo io(pipe, stop_);
    Device::DataRole role = dev_.OpenData(conn);
    const bool image = role == Device::DataRole::Image;
    if (!image && opt_.unplugAt.kind == UnplugPoint::Command && dev_.HasImage()) {
      rec_.Event("unplug: data connection after the image");
      RequestUnplug(1);
      rec_.Write("conn=%u end bytes=0 role=cut", conn);
      return Close(PipeKind::Data, conn, pipe, "unplugged");
    }
    if (image && opt_.unplugAt.kind == UnplugPoint::Transfer && opt_.unplugAt.value == 0) {
      rec_.Event("unplug: image transfer at byte 0");
      RequestUnplug(1);
      rec_.Write("conn=%u end bytes=0 role=image-cut", conn);
      return Close(PipeKind::Data, conn, pipe, "unplugged");
    }
    std::vector<unsigned char> buf(1 << 16);
    std::vector<unsigned char> kept;  // a candidate connection's bytes
    std::vector<DWORD> sizes;
    uint64_t total = 0;
    DWORD message = 0;  // bytes of the write request being read
    bool streamStarted = false;
    const char* why = "closed by PC";
    bool cut = false;
    for (;;) {
      uint64_t limit = UINT64_MAX;
      if (image && opt_.unplugAt.kind == UnplugPoint::Transfer) limit = opt_.unplugAt.value;
      if (image && opt_.hangWrites) limit = std::min(limit, opt_.hangWritesAfter);
      if (total >= limit) {
        if (opt_.unplugAt.kind == UnplugPoint::Transfer && total >= opt_.unplugAt.value) {
          rec_.Event("unplug: image transfer at byte %llu", (unsigned long long)total);
          RequestUnplug(1);
          why = "unplugged";
        } else {
          rec_.Event("PIPE01: hang: no longer taking data after %llu bytes", (unsigned long long)total);
          WaitStop(INFINITE);
          why = "unplugged while hanging";
        }
        cut = true;
        break;
      }
      DWORD want = static_cast<DWORD>(std::min<uint64_t>(buf.size(), limit - total));
      if (limit != UINT64_MAX && message == 0) {
        // A pending read lets the PC's whole write complete, whatever its
        // size; so near a cut-off point the device waits until the write is
        // queued and then takes only the bytes up to that point.
        PeekResult pr = WaitForQueuedWrite(pipe);
        if (pr == PeekResult::Stopped) {
          why = "unplugged";
          cut = true;
          break;
        }
        if (pr == PeekResult::Closed) break;
      }
      DWORD n, err;
      PipeIo::Result r = io.Read(buf.data(), want, n, err);
      if (r == PipeIo::Stopped) {
        why = "unplugged";
        cut = true;
        break;
      }
      bool more = r == PipeIo::Failed && err == ERROR_MORE_DATA;
      if (r == PipeIo::Failed && !more) break;  // the PC closed its end
      if (n) {
        if (image) {
          if (!streamStarted) {
            rec_.StartStream();
            streamStarted = true;
          }
          rec_.AppendStream(buf.data(), n);
          dev_.AddImageBytes(n);
        } else if (kept.size() < (1u << 26)) {
          kept.insert(kept.end(), buf.begin(), buf.begin() + n);
        }
      }
      total += n;
      message += n;
      if (!more) {
        sizes.push_back(message);
        rec_.Write("conn=%u size=%lu", conn, static_cast<unsigned long>(message));
        message = 0;
      }
    }
    if (message) {
      rec_.Write("conn=%u size=%lu incomplete", conn, static_cast<unsigned long>(message));
      rec_.Event("PIPE01: write request cut after %lu bytes", static_cast<unsigned long>(message));
    }
    const char* roleText;
    if (cut) {
      roleText = image ? "image-cut" : "cut";
    } else if (total == 0) {
      roleText = "empty";
      if (image) dev_.ImageAbandoned(conn);
      rec_.Event("PIPE01: empty connection ignored");
    } else if (!image && sizes.size() == 1 && total == kCommandSize && dev_.HasImage()) {
      roleText = "command";
      rec_.WriteWholeFile("command.bin", kept.data(), kept.size());
      rec_.Event("PIPE01: command packet code 0x%02X received (device %s)", kept[0], dev_.Describe().c_str());
    } else {
      roleText = "image";
      if (!image) {
        rec_.StartStream();
        rec_.AppendStream(kept.data(), kept.size());
      }
      rec_.Event("PIPE01: image of %llu bytes in %u writes", (unsigned long long)total,
                 static_cast<unsigned>(sizes.size()));
      dev_.ImageComplete(total);
    }
    rec_.Write("conn=%u end bytes=%llu role=%s", conn, (unsigned long long)total, roleText);
    if (std::strcmp(roleText, "command") == 0) {
      rec_.Event("restart: the device leaves the bus");
      Close(PipeKind::Data, conn, pipe, "closed by PC");
      RequestUnplug(2);
      return;
    }
    Close(PipeKind::Data, conn, pipe, why);
  }

  const Options& opt_;
  Recorder& rec_;
  Device& dev_;
  Requests& req_;
  HANDLE stop_ = nullptr;
  std::vector<std::thread> listeners_;
  std::mutex mutex_;
  std::condition_variable cv_;
  unsigned listening_ = 0;
  unsigned failed_ = 0;
  size_t listenersClosed_ = 0;
};

// ---------------------------------------------------------------- main loop

HANDLE g_quit = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (g_quit) SetEvent(g_quit);
  return TRUE;
}

int Run(int argc, char** argv) {
  Options opt;
  std::string error;
  if (!ParseCommandLine(argc, argv, opt, error)) {
    std::fprintf(stderr, "r47sim: %s\n", error.c_str());
    return 2;
  }
  if (opt.recordDir.empty()) {
    char tmp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof tmp, tmp);
    opt.recordDir = std::string(tmp, n) + "r47sim-" + opt.name;
  }
  Recorder rec;
  if (!rec.Open(opt.recordDir)) {
    std::fprintf(stderr, "r47sim: cannot write to record directory %s\n", opt.recordDir.c_str());
    return 2;
  }
  g_quit = CreateEventA(nullptr, TRUE, FALSE, opt.quitEvent.c_str());
  if (!g_quit) {
    std::fprintf(stderr, "r47sim: cannot create event %s\n", opt.quitEvent.c_str());
    return 2;
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  HANDLE parent = nullptr;
  if (opt.parentPid) {
    parent = OpenProcess(SYNCHRONIZE, FALSE, opt.parentPid);
    if (!parent) {
      rec.Event("parent process %lu is gone; exiting", opt.parentPid);
      return 1;
    }
  }

  Requests req;
  req.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  Device dev(opt, rec);
  std::unique_ptr<Plug> plug;
  const unsigned long long start = GetTickCount64();
  const unsigned long long end = start + opt.lifetimeMs;
  unsigned long long replugAt = 0;
  bool firstPlug = true;
  int exitCode = 0;

  auto insert = [&]() -> bool {
    dev.Reset();
    plug = std::make_unique<Plug>(opt, rec, dev, req);
    if (!plug->Insert()) {
      rec.Event("error: pipes could not be created");
      return false;
    }
    rec.Event("plugged in as \\\\.\\pipe\\%s", opt.name.c_str());
    if (firstPlug) {
      std::string ready = opt.recordDir + "\\ready";
      if (FILE* f = std::fopen(ready.c_str(), "wb")) std::fclose(f);
      std::printf("READY\n");
      std::fflush(stdout);
      firstPlug = false;
    }
    return true;
  };

  if (!insert()) {
    exitCode = 1;
  } else {
    for (;;) {
      unsigned long long now = GetTickCount64();
      if (now >= end) {
        rec.Event("lifetime over");
        break;
      }
      DWORD timeout = static_cast<DWORD>(std::min<unsigned long long>(end - now, 0x7FFFFFFF));
      if (replugAt) timeout = std::min<DWORD>(timeout, replugAt > now ? static_cast<DWORD>(replugAt - now) : 0);
      if (plug && dev.WantsTicks() && opt.paceMs) timeout = std::min<DWORD>(timeout, 5);
      HANDLE waits[3] = {g_quit, req.event, parent};
      DWORD w = WaitForMultipleObjects(parent ? 3 : 2, waits, FALSE, timeout);
      if (w == WAIT_OBJECT_0) {
        rec.Event("quit requested");
        break;
      }
      if (w == WAIT_OBJECT_0 + 2) {
        rec.Event("parent process ended");
        break;
      }
      if (w == WAIT_FAILED) {
        rec.Event("error: wait failed (%lu)", GetLastError());
        exitCode = 1;
        break;
      }
      if (plug && dev.WantsTicks() && opt.paceMs && dev.FlashUnplugDue()) {
        int expected = 0;
        req.unplug.compare_exchange_strong(expected, 1);
      }
      int how = req.unplug.exchange(0);
      if (how && plug) {
        plug.reset();  // closes every instance and waits for the pipe threads
        rec.Event(how == 2 ? "unplugged (restart)" : "unplugged");
        // No pipe thread runs now: the options can change under nobody.
        if (how != 2 && opt.unplugOnce) opt.unplugAt.kind = UnplugPoint::Never;
        if (opt.replugAfterMs >= 0) replugAt = GetTickCount64() + static_cast<unsigned>(opt.replugAfterMs);
      }
      if (replugAt && GetTickCount64() >= replugAt) {
        replugAt = 0;
        if (!insert()) {
          exitCode = 1;
          break;
        }
      }
    }
  }
  plug.reset();
  rec.Event("exit");
  if (parent) CloseHandle(parent);
  return exitCode;
}

}  // namespace
}  // namespace r47sim

int main(int argc, char** argv) { return r47sim::Run(argc, argv); }
