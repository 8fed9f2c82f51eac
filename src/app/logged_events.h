// The flash log's listener: each event of a download becomes a log line and is then
// passed on unchanged.
#pragma once
#include <memory>
#include <string>

#include "flash/events.h"

// A download's events, logged as they are reported, then passed on to `inner`.
std::shared_ptr<FlashEvents> LoggedEvents(std::shared_ptr<FlashEvents> inner);

// "<image name>: <SHA-256>" of the last image read, "" before any. The window's
// thread (the image is read while the download starts there).
std::wstring LastImageChecksum();
