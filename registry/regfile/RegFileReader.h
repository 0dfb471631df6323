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
// What it reads:
//   - encodings: UTF-16LE with a BOM (what regedit writes), UTF-8 with or without a BOM; CRLF, LF or CR
//     line ends. A REGEDIT4 file's text is read as the code page, which is UTF-8 on every platform this
//     builds for (Linux, and Windows programs with the UTF-8 manifest);
//   - the first line is the header, "Windows Registry Editor Version 5.00" or "REGEDIT4";
//   - blank lines, comment lines (";" first), and comments after a statement;
//   - [root\path] and [-root\path], root names full or short, in any letter case; the last "]" of the
//     line ends the name, as in regedit (key names may hold "]");
//   - "name"=... and @=..., names with the escapes \\ \" \n \r \0 (any other backslash stays as written,
//     as Wine's regedit does); "name"=- deletes the value;
//   - "text" (REG_SZ), dword:1 to 8 hex digits, hex:bytes (REG_BINARY), hex(t):bytes (type t, in hex);
//     bytes are two hex digits each, separated by commas; after a comma the data may continue on the
//     next line when the line ends with "\".
// It refuses, with an error: NUL characters, text that is not well-formed in its encoding, a missing
// or unknown header, unknown roots, deleting a root, a key name component over 255 characters, a value
// name over 16,383 characters, a value before any key (or after a [-key]), unterminated strings, odd
// hex digits, a dword of more than 8 hex digits, string data of a 5.00 file that is not UTF-16LE, a
// file that ends inside a continued value, and lines or values larger than the limits below.
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

  // Reads from in (opened in binary mode); path only names the file in errors.
  Reader(std::istream& in, std::string path);

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
  enum class Encoding { Utf8, Utf16Le };
  enum class Got { Ok, End, Error };

  // Byte and character layer.
  int GetByte();
  Got DecodeChar(char32_t& cp);
  Got ReadLine();

  // Statement layer.
  Step Fail(std::string message, std::size_t index);
  Step ReadHeader();
  Step ParseKey(Record& record);
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
  bool done_ = false;
  std::optional<Error> error_;
};

}  // namespace cregistry::regfile
