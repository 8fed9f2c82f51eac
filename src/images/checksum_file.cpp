#include "images/checksum_file.h"

#include <windows.h>

#include "util/handle.h"
#include "util/paths.h"

const wchar_t kChecksumListName[] = L"SHA256SUMS";
const wchar_t kChecksumSuffix[] = L".sha256";

namespace {

// Far beyond any list of image checksums; a larger file is not one.
constexpr DWORD kLargestChecksumFile = 1u << 20;

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
  size_t start = 0;
  while (start < s.size() && (s[start] == ' ' || s[start] == '\t')) ++start;
  return s.substr(start);
}

// "<digest>  <name>" or "<digest> *<name>"; a lone digest gives an empty name.
bool ParseLine(std::string line, std::string* digest, std::string* name) {
  // sha256sum starts a line with a backslash when it escaped the name.
  if (!line.empty() && line[0] == '\\') line.erase(0, 1);
  if (line.size() < 64) return false;
  for (size_t i = 0; i < 64; ++i)
    if (!IsHex(line[i])) return false;
  digest->clear();
  for (size_t i = 0; i < 64; ++i) *digest += Lower(line[i]);
  if (line.size() == 64) {
    name->clear();
    return true;
  }
  if (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*')) return false;
  *name = line.substr(66);
  // A name given relative to the list's own folder.
  if (name->size() > 2 && (*name)[0] == '.' && ((*name)[1] == '/' || (*name)[1] == '\\')) name->erase(0, 2);
  return true;
}

std::string Narrow(const std::wstring& s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0u, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), &out[0], n, nullptr, nullptr);
  return out;
}

enum class ReadResult { Missing, Read, Unreadable };

ReadResult ReadSmallFile(const std::wstring& path, std::string* text) {
  UniqueHandle file(OpenFileForReading(path));
  if (!file.valid()) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadResult::Missing
                                                                          : ReadResult::Unreadable;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kLargestChecksumFile) return ReadResult::Unreadable;
  text->assign(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  if (!text->empty() &&
      (!ReadFile(file.get(), &(*text)[0], static_cast<DWORD>(text->size()), &got, nullptr) || got != text->size())) {
    return ReadResult::Unreadable;
  }
  return ReadResult::Read;
}

}  // namespace

ChecksumListing FindInChecksumText(const std::string& text, const std::string& imageName, bool bareDigest) {
  ChecksumListing result;
  size_t pos = 0;
  // A byte-order mark before the first line, as some editors write it.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = Trimmed(text.substr(pos, end - pos));
    pos = end + 1;
    std::string digest, name;
    if (line.empty() || line[0] == '#' || !ParseLine(line, &digest, &name)) continue;
    if (name.empty() ? !bareDigest : !SameName(name, imageName)) continue;
    if (result.status == ChecksumListing::Status::Found && result.sha256 != digest) {
      result.status = ChecksumListing::Status::Ambiguous;
      result.sha256.clear();
      return result;
    }
    result.status = ChecksumListing::Status::Found;
    result.sha256 = digest;
  }
  return result;
}

std::vector<ExpectedChecksum> FindExpectedChecksums(const std::wstring& directory, const std::wstring& imageName) {
  std::vector<ExpectedChecksum> found;
  const std::string name = Narrow(imageName);
  struct Candidate {
    std::wstring file;
    bool ownFile;  // named after the image: it applies whatever it holds
  } candidates[] = {{imageName + kChecksumSuffix, true}, {kChecksumListName, false}};
  for (const Candidate& c : candidates) {
    std::string text;
    ReadResult read = ReadSmallFile(directory + c.file, &text);
    if (read == ReadResult::Missing) continue;
    ExpectedChecksum e;
    e.file = c.file;
    if (read == ReadResult::Read) {
      ChecksumListing listing = FindInChecksumText(text, name, c.ownFile);
      e.listed = c.ownFile || listing.status != ChecksumListing::Status::NotListed;
      e.readable = listing.status == ChecksumListing::Status::Found;
      e.sha256 = listing.sha256;
    }
    found.push_back(e);
  }
  return found;
}
