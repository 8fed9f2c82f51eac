// Status line and box texts put together from several pieces. No window in them, so
// that tests show exactly what the window shows (and measure it against the line).
#pragma once
#include <cstdint>
#include <string>

#include "images/discovery.h"

// The pre-flight's choice: the device's boot loader (version word 0: no answer), the
// version that version.ver asks for, and the image that the version rules chose.
// `confirmed`: the device reports the boot loader that the earlier run wrote.
std::wstring ImageChosenText(uint16_t deviceVersion, int bootHigh, int bootLow, const std::wstring& image,
                             bool confirmed = false);

// What an update lacks, named on the status line before and at the click: a missing
// image (its place is beside the program), else version.ver in `versionFolder` (the
// start folder), missing or without all its values. "" when nothing is missing.
enum class VersionFileState { Read, Missing, Incomplete };
std::wstring MissingFilesLine(ImageSet images, VersionFileState versionFile, const std::wstring& versionFolder);
// The same for the files as they are now.
std::wstring MissingFilesLineNow(ImageSet images);

// Box 122 for the missing `names`; when version.ver is one of them, a second
// paragraph says in which folder it was looked for and what to do.
std::wstring MissingFilesBoxText(const std::wstring& names, bool versionMissing, const std::wstring& versionFolder);
