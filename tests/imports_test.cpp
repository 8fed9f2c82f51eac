// The shipped program as Windows XP's loader sees it: file format, version fields, and
// every imported function, read from the file's own headers. Wine runs the program
// whatever it imports, so only this check catches a function that XP does not have.
#include <windows.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "program_driver.h"
#include "xp_allowlist.h"

namespace {

struct Import {
  std::string dll;
  std::string function;  // "#<ordinal>" for an import by number
  bool delayed;
};

struct PeFile {
  std::string error;  // empty when the headers were read
  WORD machine = 0;
  WORD characteristics = 0;
  DWORD symbols = 0;  // entries in the COFF symbol table: 0 once stripped
  WORD magic = 0;
  WORD osMajor = 0, osMinor = 0;
  WORD subsystemMajor = 0, subsystemMinor = 0;
  WORD subsystem = 0;
  WORD dllCharacteristics = 0;
  std::vector<Import> imports;
};

std::vector<unsigned char> ReadAll(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads the headers and import tables, checking every offset against the file's size.
class PeReader {
 public:
  explicit PeReader(std::vector<unsigned char> bytes) : b_(std::move(bytes)) {}

  PeFile Read() {
    PeFile pe;
    pe.error = ReadInto(&pe);
    return pe;
  }

 private:
  template <typename T>
  bool At(size_t offset, T* out) const {
    if (offset > b_.size() || b_.size() - offset < sizeof(T)) return false;
    std::memcpy(out, b_.data() + offset, sizeof(T));
    return true;
  }

  bool StringAt(size_t offset, std::string* out) const {
    out->clear();
    for (size_t i = offset; i < b_.size(); ++i) {
      if (b_[i] == 0) return true;
      out->push_back(static_cast<char>(b_[i]));
    }
    return false;
  }

  // File offset of a relative virtual address, through the section table.
  bool Offset(DWORD rva, size_t* out) const {
    for (const IMAGE_SECTION_HEADER& s : sections_) {
      DWORD size = s.Misc.VirtualSize ? s.Misc.VirtualSize : s.SizeOfRawData;
      if (rva >= s.VirtualAddress && rva - s.VirtualAddress < size && rva - s.VirtualAddress < s.SizeOfRawData) {
        *out = static_cast<size_t>(s.PointerToRawData) + (rva - s.VirtualAddress);
        return true;
      }
    }
    return false;
  }

  std::string ReadInto(PeFile* pe) {
    IMAGE_DOS_HEADER dos;
    if (!At(0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) return "no MZ header";
    const size_t nt = static_cast<size_t>(dos.e_lfanew);
    DWORD signature = 0;
    IMAGE_FILE_HEADER file;
    if (!At(nt, &signature) || signature != IMAGE_NT_SIGNATURE || !At(nt + 4, &file)) return "no PE header";
    pe->machine = file.Machine;
    pe->characteristics = file.Characteristics;
    pe->symbols = file.PointerToSymbolTable ? file.NumberOfSymbols : 0;
    const size_t optional = nt + 4 + sizeof(IMAGE_FILE_HEADER);
    if (!At(optional, &pe->magic)) return "no optional header";
    IMAGE_DATA_DIRECTORY imports{}, delayed{};
    bool read = false;
    if (pe->magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
      read = Optional<IMAGE_OPTIONAL_HEADER32>(optional, pe, &imports, &delayed);
      thunk64_ = false;
    } else if (pe->magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
      read = Optional<IMAGE_OPTIONAL_HEADER64>(optional, pe, &imports, &delayed);
      thunk64_ = true;
    } else {
      return "unknown optional header";
    }
    if (!read) return "short optional header";
    const size_t table = optional + file.SizeOfOptionalHeader;
    for (WORD i = 0; i < file.NumberOfSections; ++i) {
      IMAGE_SECTION_HEADER s;
      if (!At(table + i * sizeof(s), &s)) return "short section table";
      sections_.push_back(s);
    }
    std::string error = ImportTable(imports.VirtualAddress, false, pe);
    if (error.empty()) error = ImportTable(delayed.VirtualAddress, true, pe);
    return error;
  }

  // The PE32 and PE32+ headers differ in width, not in the fields read here.
  template <typename Header>
  bool Optional(size_t at, PeFile* pe, IMAGE_DATA_DIRECTORY* imports, IMAGE_DATA_DIRECTORY* delayed) const {
    Header h;
    if (!At(at, &h)) return false;
    if (h.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_IMPORT) *imports = h.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (h.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT)
      *delayed = h.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
    pe->osMajor = h.MajorOperatingSystemVersion;
    pe->osMinor = h.MinorOperatingSystemVersion;
    pe->subsystemMajor = h.MajorSubsystemVersion;
    pe->subsystemMinor = h.MinorSubsystemVersion;
    pe->subsystem = h.Subsystem;
    pe->dllCharacteristics = h.DllCharacteristics;
    return true;
  }

  // The ordinary table (20-byte descriptors) or the delay-load table (32-byte ones);
  // both end with a descriptor whose name is 0.
  std::string ImportTable(DWORD rva, bool delayed, PeFile* pe) const {
    if (rva == 0) return "";
    size_t at = 0;
    if (!Offset(rva, &at)) return "import table outside the sections";
    for (;; at += delayed ? 32 : 20) {
      DWORD nameRva = 0, namesRva = 0;
      if (delayed) {
        DWORD attributes = 0;
        if (!At(at, &attributes) || !At(at + 4, &nameRva) || !At(at + 16, &namesRva)) return "short descriptor";
      } else {
        DWORD original = 0, first = 0;
        if (!At(at, &original) || !At(at + 12, &nameRva) || !At(at + 16, &first)) return "short descriptor";
        namesRva = original ? original : first;
      }
      if (nameRva == 0) return "";
      size_t nameAt = 0;
      std::string dll;
      if (!Offset(nameRva, &nameAt) || !StringAt(nameAt, &dll)) return "bad DLL name";
      size_t thunkAt = 0;
      if (!Offset(namesRva, &thunkAt)) return "bad name table of " + dll;
      for (;; thunkAt += thunk64_ ? 8 : 4) {
        ULONGLONG thunk = 0;
        if (thunk64_) {
          if (!At(thunkAt, &thunk)) return "short name table of " + dll;
        } else {
          DWORD t = 0;
          if (!At(thunkAt, &t)) return "short name table of " + dll;
          thunk = t;
        }
        if (thunk == 0) break;
        const ULONGLONG byOrdinal = thunk64_ ? IMAGE_ORDINAL_FLAG64 : IMAGE_ORDINAL_FLAG32;
        std::string function;
        if (thunk & byOrdinal) {
          function = "#" + std::to_string(thunk & 0xFFFF);
        } else {
          size_t hintAt = 0;
          if (!Offset(static_cast<DWORD>(thunk), &hintAt) || !StringAt(hintAt + 2, &function))
            return "bad function name in " + dll;
        }
        pe->imports.push_back(Import{dll, function, delayed});
      }
    }
  }

  std::vector<unsigned char> b_;
  std::vector<IMAGE_SECTION_HEADER> sections_;
  bool thunk64_ = false;
};

PeFile ReadPe(const std::wstring& path) { return PeReader(ReadAll(path)).Read(); }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "DLL!function" of every import that Windows XP SP3 does not export.
std::vector<std::string> ImportsMissingOnXp(const PeFile& pe) {
  std::vector<std::string> missing;
  for (const Import& i : pe.imports) {
    bool listed = false;
    for (const XpExport& e : kXpSp3Exports) {
      if (Lower(i.dll) == e.dll && i.function == e.function) listed = true;
    }
    if (!listed) missing.push_back(i.dll + "!" + i.function + (i.delayed ? " (delay-loaded)" : ""));
  }
  return missing;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += "\n  " + n;
  return s;
}

bool Imports(const PeFile& pe, const std::string& dll, const std::string& function) {
  for (const Import& i : pe.imports) {
    if (Lower(i.dll) == dll && i.function == function) return true;
  }
  return false;
}

unsigned Bits(WORD value, unsigned mask) { return value & mask; }

// The copy beside the test programs (or in the folder a 64-bit test tree keeps it in)
// is byte for byte the program users get. The signing test names a signed copy of it
// (R47_SHIPPED_PROGRAM_FILE), which must pass the same checks.
std::wstring ShippedProgram() {
  wchar_t named[MAX_PATH * 4] = {};
  const DWORD length = GetEnvironmentVariableW(L"R47_SHIPPED_PROGRAM_FILE", named, MAX_PATH * 4);
  if (length > 0 && length < MAX_PATH * 4) return named;
#ifdef R47_SHIPPED_IN_SUBFOLDER
  return testing_support::ThisProgramDirectory() + L"shipped\\r47flash.exe";
#else
  return testing_support::ThisProgramDirectory() + L"r47flash.exe";
#endif
}

TEST(ShippedProgram, IsA32BitProgramThatWindowsXpLoads) {
  const PeFile pe = ReadPe(ShippedProgram());
  ASSERT_EQ(pe.error, "");
  struct Field {
    const char* what;
    unsigned actual;
    unsigned expected;
  } fields[] = {
      {"machine (i386)", pe.machine, IMAGE_FILE_MACHINE_I386},
      {"optional header (PE32)", pe.magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC},
      {"subsystem (GUI)", pe.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI},
      {"large-address aware", Bits(pe.characteristics, IMAGE_FILE_LARGE_ADDRESS_AWARE), IMAGE_FILE_LARGE_ADDRESS_AWARE},
      {"ASLR", Bits(pe.dllCharacteristics, IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE),
       IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE},
      {"DEP", Bits(pe.dllCharacteristics, IMAGE_DLLCHARACTERISTICS_NX_COMPAT), IMAGE_DLLCHARACTERISTICS_NX_COMPAT},
      // XP's loader rejects an image that asks for a newer subsystem or system version.
      {"subsystem version <= 5.1", pe.subsystemMajor * 100u + pe.subsystemMinor <= 501u, 1},
      {"operating system version <= 5.1", pe.osMajor * 100u + pe.osMinor <= 501u, 1},
  };
  for (const Field& f : fields) {
    EXPECT_EQ(f.actual, f.expected) << f.what << " (subsystem " << pe.subsystemMajor << "." << pe.subsystemMinor
                                    << ", system " << pe.osMajor << "." << pe.osMinor << ")";
  }
}

TEST(ShippedProgram, ImportsOnlyWhatWindowsXpSp3Exports) {
  const PeFile pe = ReadPe(ShippedProgram());
  ASSERT_EQ(pe.error, "");
  // An import table read wrongly would pass empty: the program must be seen to import
  // the calls it is known to make.
  ASSERT_TRUE(Imports(pe, "kernel32.dll", "CreateFileW"));
  ASSERT_TRUE(Imports(pe, "user32.dll", "CreateDialogParamW"));
  const std::vector<std::string> missing = ImportsMissingOnXp(pe);
  EXPECT_TRUE(missing.empty()) << "imports that are not on the Windows XP SP3 list (xp_allowlist.h):"
                               << Joined(missing);
}

// The same check on this test program, whose posix-threads runtime imports Vista's
// GetTickCount64: the check must name it.
TEST(ShippedProgram, CheckNamesAnImportThatXpLacks) {
  wchar_t self[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  const PeFile pe = ReadPe(self);
  ASSERT_EQ(pe.error, "");
  ASSERT_TRUE(Imports(pe, "kernel32.dll", "GetTickCount64"));
  const std::vector<std::string> missing = ImportsMissingOnXp(pe);
  bool named = false;
  for (const std::string& m : missing) {
    if (Lower(m) == "kernel32.dll!gettickcount64") named = true;
  }
  EXPECT_TRUE(named) << Joined(missing);
}

// What lands on the user's disk and in memory: pictures stored as palettes, no symbol
// table (it stays in r47flash.exe.debug beside the build), no code that nothing calls.
TEST(ShippedProgram, IsLeanAndStripped) {
  const std::vector<unsigned char> bytes = ReadAll(ShippedProgram());
  ASSERT_FALSE(bytes.empty());
  EXPECT_LT(bytes.size(), 1200000u) << "the program has grown to " << bytes.size() << " bytes";
  const PeFile pe = PeReader(bytes).Read();
  ASSERT_EQ(pe.error, "");
  EXPECT_EQ(pe.symbols, 0u) << "the program carries its symbol table";
}

// Run by the signing test where 32-bit programs run: the file starts as a program,
// shows its window and ends when asked. (The end-to-end scenarios start the unsigned
// program all the time.)
TEST(ShippedProgram, DISABLED_StartsShowsItsWindowAndCloses) {
  testing_support::ProgramFolder folder(L"r47start");
  ASSERT_TRUE(CopyFileW(ShippedProgram().c_str(), folder.Exe().c_str(), FALSE));
  const std::string header[] = {"X000FF\n", "B000FF\n"};
  folder.Write(L"Quon_r47PDA.ubi", header[0] + std::string(4096, 'x'));
  folder.Write(L"Quon_r47Boot.ubi", header[1] + std::string(4096, 'x'));
  folder.Write(L"version.ver", testing_support::VersionFileText(1, 3));
  std::wstring error;
  const std::unique_ptr<testing_support::ProgramRun> run =
      testing_support::ProgramRun::Start(folder.Exe(), folder.Path(), &error);
  ASSERT_TRUE(run) << std::string(error.begin(), error.end());
  PostMessageW(run->Window(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(run->WaitForExit(30000).has_value()) << "the program did not end when its window was closed";
}

TEST(ShippedProgram, ReaderRejectsDamagedHeaders) {
  std::vector<unsigned char> good = ReadAll(ShippedProgram());
  ASSERT_GT(good.size(), 0x200u);
  IMAGE_DOS_HEADER dos;
  std::memcpy(&dos, good.data(), sizeof dos);
  const size_t nt = static_cast<size_t>(dos.e_lfanew);
  struct Case {
    const char* what;
    size_t keep;    // keep only this many bytes (SIZE_MAX: all)
    size_t offset;  // then change this byte (SIZE_MAX: none)
  } cases[] = {
      {"empty file", 0, SIZE_MAX},
      {"no MZ", SIZE_MAX, 0},
      {"no PE signature", SIZE_MAX, nt},
      {"cut inside the optional header", nt + 40, SIZE_MAX},
      {"unknown optional header", SIZE_MAX, nt + 4 + sizeof(IMAGE_FILE_HEADER) + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<unsigned char> bytes = good;
    if (c.keep != SIZE_MAX) bytes.resize(c.keep);
    if (c.offset != SIZE_MAX) bytes[c.offset] ^= 0x5A;
    EXPECT_NE(PeReader(bytes).Read().error, "");
  }
}

}  // namespace
