// German texts from the string table, their formatting, and message boxes. Texts go
// to the screen through wide calls so that umlauts survive any system code page.
#pragma once
#include <windows.h>
#include <string>

// The string with this id from the program's string table ("" when absent).
std::wstring LoadText(UINT id);

// Fills a string-table format: each %d takes the next number, each %s the next text,
// %% gives one percent sign. Unlike wsprintf it has no length limit and cannot read
// past its arguments: a missing argument leaves its place empty.
std::wstring FormatText(const std::wstring& format, const std::wstring* texts, size_t textCount,
                        const int* numbers, size_t numberCount);
std::wstring FormatTextNumber(UINT id, int number);
std::wstring FormatTextString(UINT id, const std::wstring& text);

// Message box with a caption from the string table.
int ShowMessage(HWND owner, const std::wstring& text, UINT captionId, UINT flags);
// "Error" box with the error icon, as every failure of the program shows it.
void ShowError(HWND owner, const std::wstring& text);

// Byte text in a known code page, decoded for display (e.g. 950 for the device's captions).
std::wstring DecodeBytes(const char* bytes, size_t length, UINT codePage);
