#include "state.h"

#include <windows.h>

namespace r47sim {

Clock SystemClock() {
  return [] { return static_cast<uint64_t>(GetTickCount64()); };
}

void Device::Reset() {
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

Device::DataRole Device::OpenData(unsigned conn) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stage_ == Stage::BeforeImage) {
    stage_ = Stage::Receiving;
    imageConn_ = conn;
    imageBytes_ = 0;
    return DataRole::Image;
  }
  return DataRole::Candidate;
}

bool Device::HasImage() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stage_ == Stage::Held || stage_ == Stage::Flashing;
}

void Device::AddImageBytes(uint64_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  imageBytes_ += n;
}

void Device::ImageAbandoned(unsigned conn) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stage_ == Stage::Receiving && imageConn_ == conn) stage_ = Stage::BeforeImage;
}

void Device::ImageComplete(uint64_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  imageBytes_ = size;
  if (size > kLargeImage) {
    stage_ = Stage::Flashing;
    flashStart_ = now_();
    pos_ = 0;
    flashReports_ = 0;
    garbageReports_ = 0;
    rec_.Event("image complete: %llu bytes, large: formatting starts", (unsigned long long)size);
  } else {
    stage_ = Stage::Held;
    rec_.Event("image complete: %llu bytes, small: held", (unsigned long long)size);
  }
}

std::string Device::Describe() {
  std::lock_guard<std::mutex> lock(mutex_);
  return DescribeLocked();
}

Report Device::NextReport(unsigned conn) {
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
        if (v.size < kReportSize) {
          r.size = v.size;
          r.summary += Format(" [short: %u bytes]", v.size);
        }
        break;
      }
      case VersionItem::Busy:
        // Still formatting after an interrupted flash: every read gets a format report.
        r.bytes[0] = 0x20;
        r.bytes[2] = 40;
        r.summary = "format report 40% (busy with an earlier flash)";
        break;
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

void Device::Register(InFlight* f) {
  std::lock_guard<std::mutex> lock(mutex_);
  inflight_.push_back(f);
}

bool Device::Unregister(InFlight* f, bool taken) {
  std::lock_guard<std::mutex> lock(mutex_);
  inflight_.erase(std::remove(inflight_.begin(), inflight_.end(), f), inflight_.end());
  settled_.notify_all();
  if (!taken) return false;
  bool due = AccountLocked(f->report);
  unplugPending_ = unplugPending_ || due;
  return due;
}

bool Device::AccountLocked(const Report& r) {
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

bool Device::FlashUnplugDue() {
  std::lock_guard<std::mutex> lock(mutex_);
  return FlashUnplugDueLocked();
}

bool Device::WantsTicks() const {
  return opt_.unplugAt.kind == UnplugPoint::Format || opt_.unplugAt.kind == UnplugPoint::Write;
}

std::string Device::DescribeLocked() {
  switch (stage_) {
    case Stage::BeforeImage:
      return "before image";
    case Stage::Receiving:
      return Format("receiving image (%llu bytes so far)", (unsigned long long)imageBytes_);
    case Stage::Held:
      return Format("small image held (%llu bytes)", (unsigned long long)imageBytes_);
    case Stage::Flashing: {
      FlashPoint p = PointLocked();
      static const char* names[] = {"format", "format finished", "write", "stored", "format failed", "write failed"};
      return Format("%s %u%%", names[p.phase], p.progress);
    }
  }
  return "?";
}

void Device::AdvanceVersionLocked() {
  const VersionItem& v = opt_.versionSequence[versionItem_];
  if (v.count == 0) return;
  if (++versionUsed_ >= v.count && versionItem_ + 1 < opt_.versionSequence.size()) {
    ++versionItem_;
    versionUsed_ = 0;
  }
}

uint64_t Device::PosLocked() const {
  if (opt_.paceMs == 0) return pos_;
  return (now_() - flashStart_) / opt_.paceMs;
}

FlashPoint Device::PointLocked() const {
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

bool Device::FlashUnplugDueLocked() {
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

void Device::FillFailureText(Report& r, size_t from, const std::string& text) {
  size_t i = from;
  for (size_t k = 0; i < kReportSize && k < text.size(); ++k) r.bytes[i++] = static_cast<unsigned char>(text[k]);
  if (opt_.noZero) {
    while (i < kReportSize) r.bytes[i++] = '.';
  } else if (i < kReportSize) {
    r.bytes[i] = 0;
  }
}

void Device::MakeFlashReport(Report& r) {
  FlashPoint p = PointLocked();
  if (opt_.garbageKinds &&
      (p.phase == FlashPoint::Format || p.phase == FlashPoint::FormatDone || p.phase == FlashPoint::Write)) {
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
      r.summary =
          Format(p.phase == FlashPoint::Stored ? "write report %u%% (stored)" : "write report %u%%", p.progress);
      break;
    case FlashPoint::FormatFailed:
      // Reads as " E<DEL> FORMAT ERROR ...": kind, filler, failure code, text.
      r.bytes[0] = 0x20;
      r.bytes[1] = 'E';
      r.bytes[2] = 0x7F;
      r.bytes[3] = ' ';
      FillFailureText(r, 4,
                      opt_.failText.empty()
                          ? Format("FORMAT ERROR at %u%% (block 0x%04X)", p.progress, 0x0400 + p.progress)
                          : opt_.failText);
      r.summary = Format("format failure report at %u%%", p.progress);
      break;
    case FlashPoint::WriteFailed:
      r.bytes[0] = 0x40;
      r.bytes[1] = 'E';
      r.bytes[2] = ' ';
      r.bytes[3] = 0x7F;
      FillFailureText(r, 4,
                      opt_.failText.empty()
                          ? Format(" WRITE ERROR at %u%% (sector 0x%04X)", p.progress, 0x2000 + p.progress)
                          : opt_.failText);
      r.summary = Format("write failure report at %u%%", p.progress);
      break;
  }
}

DataEnding ClassifyDataConnection(const DataConnection& c) {
  if (c.cut) return c.image ? DataEnding::ImageCut : DataEnding::Cut;
  if (c.bytes == 0) return DataEnding::Empty;
  if (!c.image && c.writes == 1 && c.bytes == kCommandSize && c.deviceHasImage) return DataEnding::Command;
  return DataEnding::Image;
}

const char* DataEndingName(DataEnding e) {
  switch (e) {
    case DataEnding::ImageCut:
      return "image-cut";
    case DataEnding::Cut:
      return "cut";
    case DataEnding::Empty:
      return "empty";
    case DataEnding::Command:
      return "command";
    case DataEnding::Image:
      break;
  }
  return "image";
}

}  // namespace r47sim
