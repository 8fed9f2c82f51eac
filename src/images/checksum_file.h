// Checksum files beside an image, in sha256sum's format: 64 hexadecimal digits, two
// blanks (or a blank and '*'), the file name. `<image name>.sha256` belongs to its
// image; `SHA256SUMS` counts for an image that it lists.
#pragma once
#include <string>
#include <vector>

extern const wchar_t kChecksumListName[];  // "SHA256SUMS"
extern const wchar_t kChecksumSuffix[];    // ".sha256"

// What a checksum file's text says about one image.
struct ChecksumListing {
  enum class Status {
    NotListed,  // no entry for the image
    Found,      // `sha256`: the expected digest, lower case
    Ambiguous,  // entries for the image that disagree
  } status = Status::NotListed;
  std::string sha256;
};
// `bareDigest`: a line with the digest alone counts for the image (a file named
// after its image need not repeat the name). Names compare as Windows does, without
// regard to case.
ChecksumListing FindInChecksumText(const std::string& text, const std::string& imageName, bool bareDigest);

// A checksum file that applies to an image, read and judged.
struct ExpectedChecksum {
  std::wstring file;      // the checksum file's name
  bool readable = false;  // false: unreadable, or it names no valid digest for the image
  bool listed = true;     // false: a readable `SHA256SUMS` that does not name the image
  std::string sha256;     // readable: the expected digest
};
// Every checksum file beside the image in `directory` (with its trailing
// backslash): `<image>.sha256` when it exists, `SHA256SUMS` when it exists. A list
// that leaves the image out vouches for nothing: it comes back not `listed`, so that
// an image beside a list of the others is refused, not let through unchecked.
// Empty: the image has no checksum file.
std::vector<ExpectedChecksum> FindExpectedChecksums(const std::wstring& directory, const std::wstring& imageName);
