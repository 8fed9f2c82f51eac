#include "app/earlier_run.h"

#include "app/controls.h"
#include "app/flash_log.h"
#include "app/last_run.h"
#include "app/way_back_rules.h"
#include "app/window_messages.h"
#include "res/resource.h"
#include "text/text.h"
#include "util/system_text.h"

void ReadEarlierRun(EarlierRun* earlier) {
  *earlier = EarlierRun{};
  earlier->found = ReadNewestFlashRun(FlashLogFolder(), FlashLogPath(), &earlier->logPath, &earlier->run);
  if (!earlier->found) return;
  const LastRun& run = earlier->run;
  // In English like every line of the program's own: what support reads first.
  if (EndedMidFlash(run))
    LogLine(L"earlier run ended mid-flash: " + earlier->logPath +
            (MidFlashNoticeShown(earlier->logPath) ? L" (its notice was shown before)" : L""));
  else if (WroteBootLoader(run))
    LogLine(L"earlier run wrote the boot loader" +
            (run.bootVersionKnown ? L" " + VersionText(run.bootVersion) : std::wstring()) + L": " + earlier->logPath);
}

void OfferEarlierRunNotice(const MainWindowState& state) {
  const EarlierRun& earlier = state.earlier;
  if (earlier.found && EndedMidFlash(earlier.run) && !MidFlashNoticeShown(earlier.logPath))
    PostMessageW(state.window, kEarlierRunNoticeMessage, 0, 0);
}

void ShowEarlierRunNotice(const MainWindowState& state) {
  const EarlierRun& earlier = state.earlier;
  if (!earlier.found || MidFlashNoticeShown(earlier.logPath)) return;
  // Marked before the box: a program ended while the box is up has shown it.
  if (!MarkMidFlashNoticeShown(earlier.logPath)) LogLine(L"the notice's mark could not be written; it comes again");
  ShowBox(state.window, LastRunNoticeText(earlier.run, earlier.logPath), LoadText(IDS_LASTRUN_CAPTION),
          MB_OK | MB_ICONWARNING);
}

bool StepTwoIsNext(const MainWindowState& state) { return state.earlier.found && WroteBootLoader(state.earlier.run); }

bool BootLoaderConfirmed(const MainWindowState& state, uint16_t deviceVersion) {
  return StepTwoIsNext(state) && ConfirmsBootLoader(state.earlier.run, deviceVersion);
}
