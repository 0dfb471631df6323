// A writer of .reg files in the layout regedit writes: the header, then for each key a blank line, the
// "[root\path]" line and one line per value; CRLF line ends; a final blank line. Version 5.00 files are
// UTF-16LE with a BOM and hold string data as UTF-16LE; REGEDIT4 files are in the code page (UTF-8).
//
// Data is written as regedit writes it: REG_SZ as "text" (escaping \ " CR and LF), REG_DWORD of four
// bytes as dword:xxxxxxxx, everything else as hex:/hex(t): bytes, the line broken after the comma that
// takes it to 77 characters or more, continued on the next line after two spaces. Two cases that
// regedit writes in a way that loses data are written as hex(1) instead: a REG_SZ that holds a NUL
// before its end or has no terminator, and one that is empty (regedit writes "").
//
// The writer only formats: it makes no registry calls and keeps at most 64 KiB before writing them on.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "registry/regfile/RegFile.h"

namespace cregistry::regfile {

class Writer {
 public:
  // Writes the header to out (opened in binary mode).
  Writer(std::ostream& out, Format format);
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Each answers false, writing nothing, when a name or text data is not well-formed UTF-8 (a file
  // cannot hold it without loss). path is the full key path, root included ("HKEY_CURRENT_USER\...").
  bool Key(std::string_view path);
  bool DeleteKey(std::string_view path);
  // name "" is the unnamed value (@); data in the narrow form (see RegFile.h).
  bool Value(std::string_view name, std::uint32_t type, std::string_view data);
  bool DeleteValue(std::string_view name);

  // Writes the final blank line and everything still held; false when the stream failed.
  bool Finish();

 private:
  // A key line: opening ("[" or "[-" after a blank line), the path, "]".
  bool KeyLine(std::string_view opening, std::string_view path);
  // Writes the text held so far once it is large enough.
  void Flush();
  // Writes the text held so far, in the file's encoding.
  void WriteText();
  // Appends "name"= or @= and answers its length in UTF-16 units.
  std::size_t AppendName(std::string_view name);
  void AppendHex(std::uint32_t type, std::string_view bytes, std::size_t lineLength);

  std::ostream& out_;
  Format format_;
  std::string text_;  // UTF-8, not yet written
  std::string encoded_;
};

// "text" escaped as regedit escapes it, without the quotes.
std::string EscapeString(std::string_view text);

}  // namespace cregistry::regfile
