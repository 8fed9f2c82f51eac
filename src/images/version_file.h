// version.ver in the current directory: which boot-loader version the shipped images
// expect, and whether the boot image must be written regardless.
#pragma once
#include <string>

// The value that forces the boot image (hexadecimal 1A97CDE).
constexpr int kForceBootUpdate = 27884766;

// Reads [Version] EbootHigh, EbootLow, MustUpdateEboot in that order; each output is
// written as soon as its key has been read. Stops at the first missing or empty key
// and returns false then.
bool ReadVersionFile(int* bootHigh, int* bootLow, bool* mustUpdateBoot);
// The folder ReadVersionFile looks in (the current directory), as the system names it.
std::wstring VersionFileFolder();
// Whether there is a version.ver in that folder, readable or not.
bool VersionFileExists();
// The same for a given file (tests; the program always uses the current directory).
bool ReadVersionFileAt(const std::wstring& path, int* bootHigh, int* bootLow, bool* mustUpdateBoot);

// Decimal conversion as atoi does it: leading white space, optional sign, digits up
// to the first other character, 0 without digits. Out-of-range values saturate
// instead of being undefined.
int ParseDecimal(const wchar_t* text);
