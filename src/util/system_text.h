// Texts for the log that come from the system or from numbers: hex digits, a system
// error with the system's own words, the Windows version.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// `value` in upper-case hex, at least `digits` digits.
std::wstring Hex(unsigned value, int digits);

// The Windows the program runs on, e.g. "Windows 6.1 build 7601 Service Pack 1".
std::wstring WindowsVersionText();

// "109 (0x0000006D): <the system's text for it>", the system's text trimmed.
std::wstring SystemErrorText(DWORD code);
// A 16-bit boot-loader version as the log shows it: "0x0103 (1.3)".
std::wstring VersionText(uint16_t version);
