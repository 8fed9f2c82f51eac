#include "app/preflight.h"

#include <vector>

#include "app/flash_log.h"
#include "app/update_rules.h"
#include "device/device_pin.h"
#include "device/discovery.h"
#include "device/messages.h"
#include "flash/download.h"
#include "text/text.h"

namespace {

// False when the window stopped the pre-flight meanwhile.
bool Pause(const PreflightJob& job, DWORD milliseconds) {
  return WaitForSingleObject(job.control->StopEvent(), milliseconds) == WAIT_TIMEOUT;
}

// Device paths come from the system's ANSI calls.
std::wstring Widen(const std::string& s) { return DecodeBytes(s.data(), s.size(), CP_ACP); }

// The log names the device of each run once, when it is pinned.
void LogPinnedDevice(const DevicePin& pin, bool& logged) {
  if (logged || !pin.Pinned()) return;
  logged = true;
  LogLine(L"device of this run: " + Widen(pin.Path()));
}

// True when a download was started: it runs on, and its end ends the program.
bool RunSteps(const PreflightJob& job) {
  PreflightEvents& events = *job.preflightEvents;
  PreflightControl& control = *job.control;

  // One handheld per run: with several in flash mode, which one was asked and which
  // one is written could differ. One plugged in later is never taken (the pin).
  std::vector<std::string> present = PresentDevicePaths();
  if (present.size() > 1) {
    std::wstring line = L"refused: " + std::to_wstring(present.size()) + L" devices in flash mode:";
    for (const std::string& path : present) line += L" " + Widen(path);
    LogLine(line);
    events.Refused(PreflightEvents::Refusal::SeveralDevices);
    return false;
  }
  events.Waiting();

  // Ten queries a second apart; the latest answer counts, given once the device has
  // had its time in flash mode. A read that failed is kept as no answer. The first
  // device that answers is the one device of this run.
  DevicePin pin;
  bool pinLogged = false;
  std::vector<VersionAnswer> answers;
  for (int i = 0; i < kVersionQueries; ++i) {
    if (!Pause(job, job.timing.queryPauseMs)) return false;
    events.VersionQuery(i + 1, kVersionQueries);
    DWORD error = 0;
    VersionAnswer answer = QueryBootVersion(&error, &pin, control.StopEvent());
    if (control.Stopped()) {
      LogLine(L"version query " + std::to_wstring(i + 1) + L"/" + std::to_wstring(kVersionQueries) + L": abandoned");
      return false;
    }
    answers.push_back(answer);
    LogPinnedDevice(pin, pinLogged);
    LogVersionAnswer(i + 1, kVersionQueries, answer, error);
  }
  const DeviceVersionVerdict verdict = DecideDeviceVersion(answers);
  if (verdict.busy) {
    // Still formatting or writing an earlier image: anything sent now would land in
    // the middle of that.
    LogLine(L"refused: the device is busy with an earlier flash");
    events.Refused(PreflightEvents::Refusal::DeviceBusy);
    return false;
  }
  const VersionFileValues& v = job.versionFile;
  const int index = ChooseImageIndex(v.mustUpdateBoot, v.bootHigh, v.bootLow, verdict.version);
  const std::wstring name = ImageNameAt(index);
  LogVersionChoice(verdict.version, name);
  events.ImageChosen(index, verdict.version);

  // Read whole and checked before the data pipe opens: an image that is damaged or
  // that its checksum file does not vouch for never reaches the device, not even as
  // an empty connection. A file cannot mend itself: no second try.
  VerifiedImage image;
  if (!ReadVerifiedImage(job.programDirectory, name, job.flashEvents, control.StopEvent(), &image)) return false;
  events.ImageVerified();

  // Only a device that is not in flash mode yet is worth waiting for.
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    if (!Pause(job, job.timing.attemptPauseMs)) return false;
    // From the opening of the data pipe on, the device may be receiving: no way out.
    if (!control.Commit()) return false;
    events.StartAttempt(attempt + 1, kStartAttempts);
    const StartResult started = StartDownload(image, job.flashEvents, pin);
    LogPinnedDevice(pin, pinLogged);
    if (started != StartResult::NoDevice) return started == StartResult::Started;
    control.Uncommit();
    events.AttemptFailed();
  }
  events.Refused(PreflightEvents::Refusal::DeviceNotFound);
  return false;
}

DWORD WINAPI PreflightThread(void* parameter) {
  std::unique_ptr<PreflightJob> job(static_cast<PreflightJob*>(parameter));
  RunPreflight(*job);
  return 0;
}

}  // namespace

void RunPreflight(const PreflightJob& job) {
  const bool started = RunSteps(job);
  job.preflightEvents->PreflightEnded(started);
}

HANDLE StartPreflight(const PreflightJob& job) {
  if (!job.preflightEvents || !job.flashEvents || !job.control || !job.control->Valid()) return nullptr;
  auto* handedOver = new PreflightJob(job);
  HANDLE thread = CreateThread(nullptr, 0, PreflightThread, handedOver, 0, nullptr);
  if (!thread) {
    const DWORD error = GetLastError();
    delete handedOver;
    SetLastError(error);
  }
  return thread;
}
