#include "pipes.h"

#include <algorithm>

namespace r47sim {
namespace {

constexpr DWORD kStopWaitMs = 5000;
constexpr size_t kListening = 8;  // listening instances per pipe

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

}  // namespace

const char* UnplugEventText(UnplugReason reason) {
  switch (reason) {
    case UnplugReason::Restart:
      return "unplugged (restart)";
    case UnplugReason::Asked:
      return "unplugged (asked)";
    default:
      return "unplugged";
  }
}

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

Plug::Plug(const Options& opt, Recorder& rec, Device& dev, Requests& req) : opt_(opt), rec_(rec), dev_(dev), req_(req) {
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

Plug::~Plug() {
  Pull();
  if (stop_) CloseHandle(stop_);
}

bool Plug::Insert() {
  for (PipeKind k : {PipeKind::Interface, PipeKind::Status, PipeKind::Data})
    listeners_.emplace_back(&Plug::Listen, this, k);
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [&] { return listening_ + failed_ >= 3; });
  return listening_ == 3;
}

void Plug::PullFromInside() {
  SetEvent(stop_);
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [&] { return listenersClosed_ >= 3; });
}

void Plug::Pull() {
  SetEvent(stop_);
  for (auto& t : listeners_)
    if (t.joinable()) t.join();
  listeners_.clear();
}

std::string Plug::PipeName(PipeKind k) const {
  std::string name = "\\\\.\\pipe\\" + opt_.name;
  if (k == PipeKind::Status) name += "\\PIPE00";
  if (k == PipeKind::Data) name += "\\PIPE01";
  return name;
}

bool Plug::Create(PipeKind k, Instance& in) {
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
      in.connectedAtOnce = true;
      SetEvent(in.ov.hEvent);
    } else if (e != ERROR_IO_PENDING) {
      rec_.Event("error: %s listen failed (error %lu)", PipeLabel(k), e);
      Discard(in);
      return false;
    }
  }
  return true;
}

void Plug::Discard(Instance& in) {
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

void Plug::Listen(PipeKind k) {
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
    bool connected =
        in.connectedAtOnce || GetOverlappedResult(in.pipe, &in.ov, &n, FALSE) || GetLastError() == ERROR_PIPE_CONNECTED;
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

void Plug::Serve(PipeKind k, HANDLE pipe) {
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

void Plug::RequestUnplug(UnplugReason reason) {
  req_.AskUnplug(reason);
  PullFromInside();
  SetEvent(req_.event);
}

void Plug::Close(PipeKind k, unsigned conn, HANDLE pipe, const char* why) {
  CloseHandle(pipe);
  rec_.Event("%s: close (connection %u, %s)", PipeLabel(k), conn, why);
}

void Plug::ServeInterface(unsigned conn, HANDLE pipe) {
  PipeIo io(pipe, stop_);
  unsigned char buf[512];
  DWORD n, err;
  PipeIo::Result r;
  while ((r = io.Read(buf, sizeof buf, n, err)) == PipeIo::Done || (r == PipeIo::Failed && err == ERROR_MORE_DATA)) {
  }
  Close(PipeKind::Interface, conn, pipe, r == PipeIo::Stopped ? "unplugged" : "closed by PC");
}

Plug::PeekResult Plug::WaitForQueuedWrite(HANDLE pipe) {
  for (;;) {
    DWORD avail = 0, left = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, &left)) return PeekResult::Closed;
    if (avail || left) return PeekResult::Queued;
    if (WaitStop(1)) return PeekResult::Stopped;
  }
}

void Plug::ServeStatus(unsigned conn, HANDLE pipe) {
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
      RequestUnplug(UnplugReason::Fault);
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
      RequestUnplug(UnplugReason::Fault);
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

void Plug::ServeData(unsigned conn, HANDLE pipe) {
  PipeIo io(pipe, stop_);
  Device::DataRole role = dev_.OpenData(conn);
  const bool image = role == Device::DataRole::Image;
  if (!image && opt_.unplugAt.kind == UnplugPoint::Command && dev_.HasImage()) {
    rec_.Event("unplug: data connection after the image");
    RequestUnplug(UnplugReason::Fault);
    rec_.Write("conn=%u end bytes=0 role=cut", conn);
    return Close(PipeKind::Data, conn, pipe, "unplugged");
  }
  if (image && opt_.unplugAt.kind == UnplugPoint::Transfer && opt_.unplugAt.value == 0) {
    rec_.Event("unplug: image transfer at byte 0");
    RequestUnplug(UnplugReason::Fault);
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
        rec_.Event("unplug: image transfer at byte %llu", static_cast<unsigned long long>(total));
        RequestUnplug(UnplugReason::Fault);
        why = "unplugged";
      } else {
        rec_.Event("PIPE01: hang: no longer taking data after %llu bytes", static_cast<unsigned long long>(total));
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
          rec_.Event("PIPE01: first bytes of the image taken");
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
  DataConnection facts;
  facts.image = image;
  facts.cut = cut;
  facts.bytes = total;
  facts.writes = sizes.size();
  facts.deviceHasImage = dev_.HasImage();
  const DataEnding ending = ClassifyDataConnection(facts);
  switch (ending) {
    case DataEnding::ImageCut:
    case DataEnding::Cut:
      break;
    case DataEnding::Empty:
      if (image) dev_.ImageAbandoned(conn);
      rec_.Event("PIPE01: empty connection ignored");
      break;
    case DataEnding::Command:
      rec_.WriteWholeFile("command.bin", kept.data(), kept.size());
      rec_.Event("PIPE01: command packet code 0x%02X received (device %s)", kept[0], dev_.Describe().c_str());
      break;
    case DataEnding::Image:
      if (!image) {
        rec_.StartStream();
        rec_.AppendStream(kept.data(), kept.size());
      }
      rec_.Event("PIPE01: image of %llu bytes in %u writes", static_cast<unsigned long long>(total),
                 static_cast<unsigned>(sizes.size()));
      dev_.ImageComplete(total);
      break;
  }
  rec_.Write("conn=%u end bytes=%llu role=%s", conn, static_cast<unsigned long long>(total), DataEndingName(ending));
  if (ending == DataEnding::Command) {
    rec_.Event("restart: the device leaves the bus");
    Close(PipeKind::Data, conn, pipe, "closed by PC");
    RequestUnplug(UnplugReason::Restart);
    return;
  }
  Close(PipeKind::Data, conn, pipe, why);
}

}  // namespace r47sim
