// The program's texts: the German string table, filling its formats, and byte text
// decoded from a known code page. Used by the window and by the flash code alike;
// nothing here touches a window.
#pragma once
#include <windows.h>

#include <string>

// The module whose string table and dialogs the program uses, written once at start.
void SetAppInstance(HINSTANCE instance);
HINSTANCE AppInstance();

// The string with this id from the program's string table ("" when absent).
std::wstring LoadText(UINT id);

// Fills a string-table format: each %d takes the next number, each %s the next text,
// %% gives one percent sign. Unlike wsprintf it has no length limit and cannot read
// past its arguments: a missing argument leaves its place empty.
std::wstring FormatText(const std::wstring& format, const std::wstring* texts, size_t textCount, const int* numbers,
                        size_t numberCount);
std::wstring FormatTextNumber(UINT id, int number);
std::wstring FormatTextString(UINT id, const std::wstring& text);

// Byte text in a known code page, decoded for display (e.g. 950 for the device's captions).
std::wstring DecodeBytes(const char* bytes, size_t length, UINT codePage);
