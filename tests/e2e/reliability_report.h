// What the fault matrix and the bad-input table share: the program's closing texts,
// the readme's explanation of a message, and the Markdown report they write to
// reports/.
#pragma once
#include <windows.h>

#include <cwchar>
#include <fstream>
#include <string>
#include <vector>

#include "scenario.h"

namespace e2e {

inline const wchar_t kBrokenText[] =
    L"USB-Verbindung unterbrochen! Zum Aktualisieren des ROM-Bilds wiederholen Sie den Vorgang zum "
    L"Aktualisieren des Bildes.";
inline const wchar_t kNotFoundText[] = L"Das Gerät kann im ROM-Flash-Modus nicht gefunden werden.";
inline const wchar_t kOsDoneText[] = L"Image erfolgreich aktualisiert. r47 wird automatisch neu gestartet.";
inline const wchar_t kBootDoneStart[] = L"Gehen Sie folgendermaßen vor";
inline const wchar_t kSuccessCaption[] = L"USB Update Success!";
inline const wchar_t kFormatFailedCaption[] = L"FORMAT\u5931\u6557";
inline const wchar_t kWriteFailedCaption[] = L"\u4e0b\u8f09\u5931\u6557";

// A table cell: one line, no pipe, control characters shown as \xNN, shortened.
inline std::string MdCell(const std::wstring& text, size_t max = 48) {
  std::wstring out;
  for (wchar_t c : text) {
    if (out.size() >= max) {
      out += L"…";
      break;
    }
    if (c == L'|') {
      out += L"\\|";
    } else if (c < 0x20 || c == 0x7f) {
      wchar_t hex[8];
      swprintf(hex, 8, L"\\x%02X", static_cast<unsigned>(c));
      out += hex;
    } else {
      out += c;
    }
  }
  return Narrow(out);
}

inline std::wstring DescribeBoxes(const std::vector<BoxRecord>& boxes) {
  std::wstring out;
  for (const auto& b : boxes) out += L"[" + b.caption + L"] " + b.text + L" ";
  return out;
}

// The readme beside the program (Windows-1252), as text.
inline std::wstring ReadmeText() {
  const std::vector<uint8_t> bytes = ReadFileBytes(ThisProgramDirectory() + L"readme.txt");
  if (bytes.empty()) return {};
  // UTF-8 behind its byte-order mark.
  const size_t skip = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
  const char* data = reinterpret_cast<const char*>(bytes.data()) + skip;
  const int size = static_cast<int>(bytes.size() - skip);
  int n = MultiByteToWideChar(CP_UTF8, 0, data, size, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, data, size, &out[0], n);
  return out;
}

// Whether the readme explains this message: it quotes the words the user sees (the
// start of the text, or the caption the readme describes the box by).
inline bool ReadmeExplains(const std::wstring& readme, const BoxRecord& box) {
  std::wstring key;
  if (box.caption == L"Error") {
    // A file name in the text stands as "…" in the readme.
    key = box.text.substr(0, box.text.compare(0, 6, L"Datei ") == 0 ? 6 : 28);
    if (key == L"Datei ") key = L"\"Datei \u2026 kann nicht gefunden werden!\"";
  } else if (box.caption == L"start") {
    key = L"\"bResult Error\"";
  } else if (box.caption == kSuccessCaption) {
    key = L"\"USB Update Success!\"";
  } else if (box.caption == kFormatFailedCaption) {
    key = L"Titel \"FORMAT\"";
  } else if (box.caption == kWriteFailedCaption) {
    key = L"vier chinesischen Schriftzeichen";
  }
  return !key.empty() && readme.find(key) != std::wstring::npos;
}

// The whole control group usable again: the window is idle.
inline bool ControlsIdle(const ProgramRun& p) {
  for (int id : {kAcknowledge, kUpdate, kExit, kNotes, kReadme})
    if (!p.Enabled(id)) return false;
  return true;
}

// A report's title, what the run covered, and its table's header row.
inline std::string ReportHead(const char* title, bool representativeOnly, const char* what,
                              const std::vector<const char*>& columns) {
  std::string head = std::string("# ") + title + "\n\n" +
                     (representativeOnly ? std::string("Representative ") + what +
                                               " (scripts/test); scripts/reliability runs every one.\n\n"
                                         : std::string("Every ") + what + " (scripts/reliability).\n\n");
  std::string rule = "|";
  for (const char* c : columns) {
    head += std::string("| ") + c + " ";
    rule += "---|";
  }
  return head + "|\n" + rule + "\n";
}

// Writes reports/<name> in the test build tree (beside its bin folder); false when it
// could not.
// Whether the one box shown has the expected caption and text (or starts with it).
inline bool ShowsMessage(const std::vector<BoxRecord>& boxes, const wchar_t* caption, const wchar_t* text,
                         bool textIsPrefix) {
  return boxes.size() == 1 && boxes[0].caption == caption &&
         (textIsPrefix ? boxes[0].text.compare(0, wcslen(text), text) == 0 : boxes[0].text == text);
}

// How a run ended, as a report's "observed end" cell says it. One that stayed idle was
// ended with Exit, and its log said whether anything was still to come.
inline std::string ObservedEnd(bool ended, DWORD exitCode, bool idle, bool overAtExit) {
  return ended  ? "ends (" + std::to_string(exitCode) + ")"
         : idle ? (overAtExit ? "idle, running" : "idle, but not over at Exit")
                : "busy, running";
}

// A row's problems as its verdict cell.
inline std::string Verdict(const std::vector<std::string>& problems) {
  std::string verdict;
  for (const auto& p : problems) verdict += (verdict.empty() ? "" : "; ") + p;
  return verdict.empty() ? "as expected" : verdict;
}

inline bool WriteReport(const wchar_t* name, const std::string& text) {
  std::wstring dir = ThisProgramDirectory() + L"..\\reports\\";
  CreateDirectoryW(dir.c_str(), nullptr);
  std::ofstream out((dir + name).c_str(), std::ios::binary);
  out << text;
  return out.good();
}

}  // namespace e2e
