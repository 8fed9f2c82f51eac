// How the window shows what a download reports: one table from each kind of failure
// to its box (text, caption, icon, owner), whether the text also goes to the status
// line, and the state the controls are left in. The flash log writes down the same
// texts, so the log and the screen cannot differ.
#pragma once
#include <string>

#include "flash/events.h"
#include "images/discovery.h"
#include "images/image_header.h"

enum class BoxIcon { None, Error, Information };

// The controls after a failure.
enum class ControlsAfter {
  Idle,      // enabled again: the user may try once more
  OnlyExit,  // the connection is gone: only Exit is left
  Busy,      // as during the download, until the program ends
};

struct FailureView {
  std::wstring text;  // the box's text; empty: no box at all
  std::wstring caption;
  BoxIcon icon = BoxIcon::None;
  bool ownerless = false;   // shown on its own, not over the window
  bool statusLine = false;  // the text goes to the status line too
  ControlsAfter controls = ControlsAfter::Idle;
};
FailureView ViewOf(const FlashFailure& failure);

// The status line at `percent` of the transfer or of the device's stages.
std::wstring ProgressStatusText(int percent);
// The closing box for an image of `kind`, and the status line after it.
std::wstring SuccessText(ImageKind kind);
std::wstring SuccessCaption();
std::wstring FinishedStatusText();

// The status line at start for an image file that the discovery refused: the file,
// what is wrong with it and what to do. "" when nothing was refused.
std::wstring RefusedImageText(const RefusedImage& refused);
