#include "app/logged_events.h"

#include "app/failure_table.h"
#include "app/flash_log.h"
#include "app/way_back_rules.h"
#include "device/records.h"
#include "util/system_text.h"

namespace {

// Digests and device paths: ASCII as the system hands them out.
std::wstring Ascii(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::wstring g_lastImageChecksum;

const wchar_t* KindName(FlashFailure::Kind kind) {
  switch (kind) {
    case FlashFailure::Kind::ImageMissing:
      return L"image missing";
    case FlashFailure::Kind::ImageLocked:
      return L"image held by another program";
    case FlashFailure::Kind::ImageUnreadable:
      return L"image unreadable";
    case FlashFailure::Kind::ImageReadGivenUp:
      return L"image read given up: the program is ending";
    case FlashFailure::Kind::ImageDamaged:
      return L"image damaged";
    case FlashFailure::Kind::ImageTooLarge:
    case FlashFailure::Kind::ImageNoMemory:
      return L"image too large";
    case FlashFailure::Kind::WorkerNotStarted:
      return L"worker not started";
    case FlashFailure::Kind::ConnectionBroken:
      return L"connection broken";
    case FlashFailure::Kind::DeviceFailed:
      return L"device reported a failure";
    case FlashFailure::Kind::CommandPacketLost:
      return L"command packet not written";
    case FlashFailure::Kind::ChecksumMismatch:
      return L"checksum mismatch";
    case FlashFailure::Kind::ChecksumUnreadable:
      return L"checksum file unreadable";
    case FlashFailure::Kind::ChecksumNotListed:
      return L"checksum list does not name the image";
  }
  return L"failure";
}

const wchar_t* ImageKindName(ImageKind kind) {
  switch (kind) {
    case ImageKind::Os:
      return L"OS image";
    case ImageKind::Boot:
      return L"boot image";
    case ImageKind::Damaged:
      return L"damaged header";
    case ImageKind::Unknown:
      break;
  }
  return L"unknown";
}

// One report as the monitor read it: the fields that matter, then what they say.
std::wstring ReportSummary(const StatusReport& report, DWORD bytesRead) {
  if (bytesRead > 0 && !ReportIsWhole(report, bytesRead)) {
    return L"monitor report (" + std::to_wstring(bytesRead) + L" bytes read): kind 0x" +
           Hex(report[report_offset::kKind], 2) + L", too short for its kind: changes nothing";
  }
  DecodedReport d = DecodeReport(report);
  std::wstring out = L"monitor report (" + std::to_wstring(bytesRead) + L" bytes read): kind 0x" +
                     Hex(report[report_offset::kKind], 2) + L", bytes 1-3 " + Hex(report[1], 2) + L" " +
                     Hex(report[2], 2) + L" " + Hex(report[3], 2) + L": ";
  switch (d.stage) {
    case DecodedReport::Stage::Format:
      if (d.failed)
        out += L"format failed";
      else if (d.formatFinished)
        out += L"format finished";
      else
        out += L"format " + std::to_wstring(d.progress) + L" %";
      break;
    case DecodedReport::Stage::Write:
      if (d.failed)
        out += L"write failed";
      else if (d.stored)
        out += L"image stored";
      else
        out += L"write " + std::to_wstring(d.progress) + L" %";
      break;
    case DecodedReport::Stage::None:
      out += L"no stage";
      break;
  }
  return out;
}

class LoggingEvents : public FlashEvents {
 public:
  explicit LoggingEvents(std::shared_ptr<FlashEvents> inner) : inner_(std::move(inner)) {}

  void Progress(int value, bool done) override {
    // The status lines carry the same percentages; only the end is worth a line.
    if (done) LogLine(L"progress bar at its end");
    inner_->Progress(value, done);
  }
  // What the window shows (status lines, boxes) it logs itself as it shows it.
  void StatusPercent(int percent) override { inner_->StatusPercent(percent); }
  void Failure(const FlashFailure& f) override {
    std::wstring checksum;
    if (!f.checksumFile.empty()) {
      checksum = L", " + f.imageName + L" against " + f.checksumFile + L": expected " +
                 (f.expectedSha256.empty() ? std::wstring(L"(none readable)") : Ascii(f.expectedSha256)) + L", image " +
                 Ascii(f.actualSha256);
    }
    // The device's text with its control bytes as hex: the box shows them as they came.
    const bool fromDevice = f.kind == FlashFailure::Kind::DeviceFailed;
    const std::wstring deviceText = fromDevice ? LoggedDeviceText(f.deviceText) : std::wstring();
    LogLine(std::wstring(L"failure: ") + KindName(f.kind) + checksum +
            (fromDevice ? L", device text \"" + deviceText + L"\"" : std::wstring()) +
            (f.systemError ? L", system error " + SystemErrorText(f.systemError) : std::wstring()));
    const FailureView view = ViewOf(f);
    NoteUpdateFailed(fromDevice ? deviceText : view.text.empty() ? KindName(f.kind) : view.text);
    inner_->Failure(f);
  }
  void Success(ImageKind kind) override {
    // In English like every line of the program's own, for the next start to read back.
    LogLine(std::wstring(L"update completed: ") + ImageKindName(kind) + L" stored on the device");
    NoteUpdateCompleted();
    inner_->Success(kind);
  }
  void Done() override {
    LogLine(L"download over");
    inner_->Done();
  }
  void DeviceMissing(DWORD systemError) override {
    LogLine(L"data pipe did not open (device not in flash mode): system error " + SystemErrorText(systemError));
    inner_->DeviceMissing(systemError);
  }
  void ImageLoaded(const std::wstring& name, uint32_t size, ImageKind kind) override {
    LogLine(L"image " + name + L": " + std::to_wstring(size) + L" bytes, " + ImageKindName(kind));
    inner_->ImageLoaded(name, size, kind);
  }
  void ImageChecksum(const std::wstring& name, const std::string& sha256) override {
    g_lastImageChecksum = name + L": " + Ascii(sha256);
    LogLine(L"image " + name + L" SHA-256 " + Ascii(sha256));
    inner_->ImageChecksum(name, sha256);
  }
  void ChecksumMatched(const std::wstring& checksumFile) override {
    LogLine(L"checksum file " + checksumFile + L": matches");
    inner_->ChecksumMatched(checksumFile);
  }
  void DeviceUsed(const std::string& devicePath) override {
    LogLine(L"download to device " + Ascii(devicePath));
    NoteDownloadStarted();
    inner_->DeviceUsed(devicePath);
  }
  void ImageReadProgress(uint32_t done, uint32_t size) override {
    // The reading is shown on the window; the log notes only the whole image, above.
    inner_->ImageReadProgress(done, size);
  }
  void TransferStarted(uint32_t size) override {
    LogLine(L"transfer started: " + std::to_wstring(size) + L" bytes");
    inner_->TransferStarted(size);
  }
  void TransferEnded(uint32_t chunks, uint64_t bytesSent, DWORD systemError) override {
    std::wstring line = L"transfer " + std::wstring(systemError ? L"broken" : L"complete") + L": " +
                        std::to_wstring(chunks) + L" chunks written, " + std::to_wstring(bytesSent) + L" bytes";
    if (systemError) line += L", system error " + SystemErrorText(systemError);
    LogLine(line);
    inner_->TransferEnded(chunks, bytesSent, systemError);
  }
  void MonitorReport(const StatusReport& report, DWORD bytesRead) override {
    LogLine(ReportSummary(report, bytesRead));
    inner_->MonitorReport(report, bytesRead);
  }
  void CommandPacketWritten(const CommandPacket& packet, DWORD systemError) override {
    std::wstring bytes;
    for (uint8_t b : packet) bytes += (bytes.empty() ? L"" : L" ") + Hex(b, 2);
    LogLine(
        L"command packet " + bytes +
        (systemError ? L": not written, system error " + SystemErrorText(systemError) : std::wstring(L": written")));
    inner_->CommandPacketWritten(packet, systemError);
  }

 private:
  std::shared_ptr<FlashEvents> inner_;
};

}  // namespace

std::shared_ptr<FlashEvents> LoggedEvents(std::shared_ptr<FlashEvents> inner) {
  if (!inner) return inner;
  return std::make_shared<LoggingEvents>(std::move(inner));
}

std::wstring LastImageChecksum() { return g_lastImageChecksum; }
