// A streaming reader of .reg files: it yields the file's statements one at a time, each with the place
// where it starts, and stops at the first error with the place of the error. It holds one line (and one
// value's data) at a time, never the file.
//
//   std::ifstream in(path, std::ios::binary);
//   regfile::Reader reader(in, path);
//   regfile::Record record;
//   while (reader.Next(record) == regfile::Reader::Step::Record) { ... }
//   if (reader.error()) std::cerr << reader.error()->ToString() << '\n';
//
// It reads what regedit reads (Wine's regedit and reg import were the reference, rule by rule), and
// where regedit would skip a line it cannot read and go on, it stops with an error instead:
//   - encodings: UTF-16LE with a BOM (what regedit writes); without a BOM, 8-bit text in a code page
//     (CodePage: by default UTF-8 when the whole file is well-formed UTF-8, else Windows-1252), whatever
//     the header says; CRLF, LF or CR line ends. A UTF-8 byte order mark is refused, as regedit does;
//   - the first line is the header, "Windows Registry Editor Version 5.00", "REGEDIT4" or "REGEDIT"
//     (Windows 3.1's format, below), in exactly that letter case, after any spaces or tabs and with
//     nothing after it;
//   - blank lines, comment lines (";" or "#" first, after any blanks), and ";" comments after a value;
//   - [root\path] and [-root\path], root names full or short in any letter case; the last "]" of the
//     line ends the name (key names may hold "]") and what follows it is ignored, as regedit does;
//     empty components are dropped, except right after the root ("[HKCU\\x]" is refused);
//   - "name"=... and @=..., with blanks around "="; names and text with the escapes \\ \" \n \r,
//     any other escaped character stands for itself ("\q" is "q"), "\0" is refused; "name"=- deletes;
//   - "text" (REG_SZ), dword: and 1 to 8 hex digits, hex:bytes (REG_BINARY), hex(t):bytes (type t, a
//     32-bit hex number, "+" or "-" before it, none at all for 0); the prefixes in lower case. A byte is
//     a hex number up to ff ("1", "01", "001", "+1" and "0x1" alike), followed by a comma, or by blanks
//     and the end; one trailing comma is allowed. After a comma (or right after the colon) a "\"
//     continues the data on the next line; blank lines and ";" lines may stand between, a "#" line may
//     not, and the end of the file ends the data. On a continued line, blanks after the last comma may
//     not end the line (regedit drops such a value);
//   - string data given in hex (hex(1), hex(2), hex(7)) is UTF-16LE in a UTF-16 file and the code page
//     in an 8-bit file; either way, data that does not end in a NUL character gets one, as regedit does;
//   - a "REGEDIT" file (Windows 3.1) holds lines "HKEY_CLASSES_ROOT\path = text", each a Key record and
//     then a Value record: the key's unnamed value set to text (REG_SZ). The root name stands first on
//     the line, in exactly that letter case; the key name ends at the first white space (a space, tab,
//     vertical tab, form feed, or a Unicode space such as U+00A0 or U+3000), and with it the path rules
//     of [key] lines. After the name come any spaces and tabs, at most one "=", at most one space, and
//     the text to the end of the line, taken as it is (no escapes, blanks at its end kept); with no
//     text, or when the name ends at another white space than a space or tab, the text is empty.
//     "HKEY_CLASSES_ROOT = text" sets the root's own unnamed value. Blank lines and ";" or "#" lines
//     are passed over; every other line, which regedit skips (another root, a root in another case or
//     form, blanks before the root, a [key] or "name"= line), is refused.
// It refuses, with an error: NUL characters, text that is not well-formed in its encoding, a missing
// or unknown header, unknown roots, deleting a root, a key name component over 255 characters, a value
// name over 16,383 characters, a value before any key (or after a [-key]), unterminated strings, bytes
// over ff, a dword of more than 8 hex digits, string data of a UTF-16 file that is not UTF-16LE,
// lines that are none of the above, and lines or values larger than the limits below.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>

#include "registry/regfile/RegFile.h"

namespace cregistry::regfile {

class Reader {
 public:
  // A line longer than this (in UTF-8 bytes), or value data larger than this, is an error: without a
  // limit, a file of one endless line would exhaust memory.
  static constexpr std::size_t kMaxLineBytes = 16u << 20;
  static constexpr std::size_t kMaxDataBytes = 16u << 20;

  // Reads from in (opened in binary mode); path only names the file in errors. With CodePage::Auto
  // an 8-bit file is read through once before its first statement, to learn whether it is UTF-8: in
  // must then be seekable (a file); from a stream that is not, such a file is read as UTF-8.
  Reader(std::istream& in, std::string path, CodePage codePage = CodePage::Auto);

  enum class Step { Record, End, Error };
  // The next statement into record; End after the last one; Error (and error() says what) when the
  // file is not valid. After End or Error every call answers the same again.
  Step Next(Record& record);

  const std::optional<Error>& error() const { return error_; }
  // The file's format; known after the first call to Next.
  Format format() const { return format_; }
  // Lines read so far.
  std::uint64_t lines() const { return lineNo_; }

 private:
  enum class Encoding { Utf8, Utf16Le, SingleByte };
  enum class Got { Ok, End, Error };

  // Byte and character layer.
  int GetByte();
  Got DecodeChar(char32_t& cp);
  bool ScanForUtf8();
  bool DecodeStringData(std::string& data) const;
  Got ReadLine();

  // Statement layer.
  Step Fail(std::string message, std::size_t index);
  Step ReadHeader();
  Step ParseKey(Record& record);
  Step ParseKeyName(std::size_t begin, std::size_t end, Record& record);
  Step ParseWin31Line(Record& record);
  Got NextContentLine(std::size_t& i);
  Step ParseValue(Record& record);
  bool ParseQuoted(std::size_t& i, std::string& out);
  Step ParseHex(std::size_t& i, std::string& data);
  Step ParseDword(std::size_t& i, std::string& data);
  Step FinishStatement(std::size_t i);
  Position PositionAt(std::size_t index) const;
  void SkipBlanks(std::size_t& i) const;

  std::istream& in_;
  std::string path_;
  char buffer_[1 << 16];
  std::size_t bufferPos_ = 0;
  std::size_t bufferEnd_ = 0;
  std::uint64_t byteOffset_ = 0;  // of the next byte to be taken from the buffer
  Encoding encoding_ = Encoding::Utf8;
  CodePage codePage_;            // as asked; for SingleByte, the one in use
  bool utf8Fallback_ = false;    // Auto chose UTF-8: hex string data that is not UTF-8 is 1252
  bool started_ = false;
  std::optional<char32_t> pending_;  // a character read ahead (after a CR)
  std::uint64_t pendingOffset_ = 0;

  std::string line_;              // the current line, UTF-8, without its end
  std::uint64_t lineNo_ = 0;      // its number
  std::uint64_t lineOffset_ = 0;  // the file offset of its first character
  bool atEnd_ = false;

  Format format_ = Format::Unicode;
  bool headerRead_ = false;
  bool inKey_ = false;  // a [key] (not a [-key]) is open: values may follow
  std::optional<Record> pendingRecord_;  // the value of a REGEDIT line, read with its key
  bool done_ = false;
  std::optional<Error> error_;
};

}  // namespace cregistry::regfile
