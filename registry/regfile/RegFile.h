// What the .reg reader and writer share: the two formats, file positions and errors, the records a
// file holds, the names of the root keys, and the text conversions between the file's encodings and
// the narrow (UTF-8) text that the registry calls take.
//
// Nothing here makes a registry call: a record says what a file says, the caller decides what to do.
//
// Value data is always held in the form the narrow registry calls take it (RegSetValueExA): for the
// string types (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) UTF-8 bytes with their NUL terminators, for every
// other type the bytes as they are. The reader converts a version 5.00 file's UTF-16LE string data to
// that form; the writer converts it back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "registry/RegistryModel.h"

namespace cregistry::regfile {

// The value types, which of them hold text, and the limits on names: regfile::kRegSz and so on.
using namespace model;

enum class Format {
  Unicode,  // "Windows Registry Editor Version 5.00": UTF-16LE with a BOM; string data in UTF-16LE
  Ansi,     // "REGEDIT4": the code page (UTF-8 here); string data in the code page
  Win31,    // "REGEDIT": Windows 3.1's lines "HKEY_CLASSES_ROOT\key = text" (read only: the Writer
            // writes Unicode or Ansi)
};

// The code page of a file without a UTF-16 byte order mark (regedit reads such a file, whatever its
// header, in the ANSI code page of the machine that reads it).
enum class CodePage {
  Auto,         // UTF-8 when the whole file is well-formed UTF-8, else Windows-1252
  Utf8,         // 65001: text that is not well-formed UTF-8 is an error
  Windows1252,  // 1252: Western European, what most such files were written in
  Latin1,       // 28591: ISO 8859-1, each byte the code point of the same number
};

// The code page named by its number ("1252", "28591", "65001") or by a common name ("utf-8",
// "windows-1252", "latin1", any letter case); nothing for one that this reader does not know.
std::optional<CodePage> CodePageFromName(std::string_view name);

// The character that byte b stands for in a single-byte code page (Windows1252 or Latin1).
// Windows-1252 leaves five bytes (81 8D 8F 90 9D) unassigned; like Windows, they stand for the
// control characters of the same number.
char32_t SingleByteChar(CodePage codePage, unsigned char b);

inline constexpr std::string_view kUnicodeHeader = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view kAnsiHeader = "REGEDIT4";
inline constexpr std::string_view kWin31Header = "REGEDIT";

// A place in a file. Lines and columns count from 1; a column counts characters (Unicode code points,
// whatever the file's encoding), the byte offset counts bytes from the start of the file, BOM included.
// 0 means unknown.
struct Position {
  std::uint64_t line = 0;
  std::uint64_t column = 0;
  std::uint64_t byteOffset = 0;
};

// What is wrong with a file, and where.
struct Error {
  std::string message;
  Position position;
  std::string path;

  // "path:line:column: message" (the parts that are known).
  std::string ToString() const;
};

// One statement of a file.
struct Record {
  enum class Kind {
    Key,          // [root\path]: the key is created, and later values belong to it
    DeleteKey,    // [-root\path]: the key and its whole tree are deleted
    Value,        // "name"=data or @=data
    DeleteValue,  // "name"=-
  };
  Kind kind = Kind::Key;
  // Key and DeleteKey: the root's 32-bit code (0x80000000 ...) and the path below it, its components
  // joined by "\" (empty components dropped; empty for the root itself).
  std::int32_t root = 0;
  std::string keyPath;
  // Value and DeleteValue: the name ("" for the unnamed value), and for Value its type and data.
  std::string name;
  std::uint32_t type = kRegNone;
  std::string data;
  // Where the statement starts.
  Position position;
};

// The root key named by a full name (HKEY_CURRENT_USER) or its short form (HKCU), in any letter case.
std::optional<std::int32_t> RootFromName(std::string_view name);
// The full name of a root key ("HKEY_CURRENT_USER"); empty for a code that names no root.
std::string_view RootFullName(std::int32_t root);
// The short name of a root key ("HKCU"); empty when it has none.
std::string_view RootShortName(std::int32_t root);

// Text conversions. Each answers false (and leaves out unchanged or partly written) when the input is
// not well-formed: invalid UTF-8 sequences, lone surrogates, an odd number of UTF-16 bytes.
bool Utf8ToUtf16Le(std::string_view utf8, std::string& out);
bool Utf16LeToUtf8(std::string_view utf16le, std::string& out);
// Whether text is well-formed UTF-8.
bool IsUtf8(std::string_view text);

}  // namespace cregistry::regfile
