#include "registry/regfile/RegFileReader.h"

#include "registry/Ascii.h"
#include "registry/Utf8.h"

#include <array>
#include <utility>

namespace cregistry::regfile {

namespace {

using ascii::HexDigitValue;

constexpr int kEndOfFile = -1;
constexpr int kReadFailed = -2;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The characters that a line takes as they are: ASCII but NUL and the line ends.
constexpr auto kPlainAscii = [] {
  std::array<bool, 256> table{};
  for (int c = 1; c < 0x80; ++c) table[c] = c != '\r' && c != '\n';
  return table;
}();

constexpr std::size_t kOverflow = static_cast<std::size_t>(-1);

// A number as regedit reads a byte of hex data or the type in hex(...): a "+" or "-" sign, for a byte
// a "0x" too, then hex digits (leading zeros as many as wanted), as a 32-bit number ("-1" is
// ffffffff). Answers where the number ends (at when there are no digits, value then 0), or kOverflow
// when it does not fit in 32 bits.
std::size_t ScanNumber(std::string_view text, std::size_t at, std::uint32_t& value, bool prefix = true) {
  std::size_t i = at;
  const bool negative = i < text.size() && text[i] == '-';
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (prefix && text.compare(i, 2, "0x") == 0 && i + 2 < text.size() && HexDigitValue(text[i + 2]) >= 0) i += 2;
  const std::size_t digits = i;
  std::uint64_t v = 0;
  while (i < text.size() && HexDigitValue(text[i]) >= 0) {
    v = v * 16 + static_cast<std::uint64_t>(HexDigitValue(text[i++]));
    if (v > 0xFFFFFFFFu) return kOverflow;
  }
  if (i == digits) {
    value = 0;
    return at;
  }
  value = static_cast<std::uint32_t>(negative ? (0x100000000u - v) & 0xFFFFFFFFu : v);
  return i;
}

}  // namespace

Reader::Reader(std::istream& in, std::string path, CodePage codePage)
    : in_(in), path_(std::move(path)), codePage_(codePage) {}

// Whether the rest of the stream is well-formed UTF-8, read through in blocks and then sought back.
// A stream that cannot seek is taken as UTF-8 (its first sequence that is not UTF-8 is an error).
bool Reader::ScanForUtf8() {
  const std::istream::pos_type start = in_.tellg();
  if (start == std::istream::pos_type(-1)) return true;
  char block[1 << 16];
  std::string carry;  // a sequence cut by the end of a block
  bool valid = true;
  while (valid && in_) {
    in_.read(block, sizeof block);
    std::string text = carry + std::string(block, static_cast<std::size_t>(in_.gcount()));
    carry.clear();
    for (std::size_t i = 0; i < text.size();) {
      char32_t cp;
      const std::size_t length = utf8::Decode(text, i, cp);
      if (length == 0) {
        if (text.size() - i < 4 && in_) {  // maybe cut: try again with the next block
          carry = text.substr(i);
          break;
        }
        valid = false;
        break;
      }
      i += length;
    }
  }
  if (valid && !carry.empty()) valid = false;  // the file ends inside a sequence
  in_.clear();
  in_.seekg(start);
  return valid;
}

// ---- Bytes and characters -------------------------------------------------------------------------

int Reader::GetByte() {
  if (bufferPos_ == bufferEnd_) {
    if (!in_.good()) return in_.bad() ? kReadFailed : kEndOfFile;
    in_.read(buffer_, sizeof buffer_);
    if (in_.bad()) return kReadFailed;
    bufferPos_ = 0;
    bufferEnd_ = static_cast<std::size_t>(in_.gcount());
    if (bufferEnd_ == 0) return kEndOfFile;
  }
  ++byteOffset_;
  return static_cast<unsigned char>(buffer_[bufferPos_++]);
}

// One character of the file. Errors are reported at the end of the line read so far, which is where
// the offending character starts.
Reader::Got Reader::DecodeChar(char32_t& cp) {
  const auto fail = [&](const char* message) {
    error_ = Error{message, PositionAt(line_.size()), path_};
    return Got::Error;
  };
  if (!started_) {
    started_ = true;
    // The byte order mark decides the encoding; without one the file is 8-bit text in a code page.
    if (codePage_ == CodePage::Auto && in_.peek() != 0xFF) {
      const bool utf8 = ScanForUtf8();
      if (in_.bad()) return fail("cannot read the file");
      utf8Fallback_ = utf8;
      codePage_ = utf8 ? CodePage::Utf8 : CodePage::Windows1252;
    }
    encoding_ = codePage_ == CodePage::Utf8 || codePage_ == CodePage::Auto ? Encoding::Utf8 : Encoding::SingleByte;
    int b[3];
    std::size_t n = 0;
    const auto take = [&] {
      const int x = GetByte();
      if (x >= 0) b[n++] = x;
      return x;
    };
    if (take() == kReadFailed) return fail("cannot read the file");
    if (n == 0) return Got::End;
    if ((b[0] == 0xFF || b[0] == 0xFE || b[0] == 0xEF) && take() == kReadFailed) return fail("cannot read the file");
    if (n == 2 && b[0] == 0xEF && b[1] == 0xBB && take() == kReadFailed) return fail("cannot read the file");
    if (n == 2 && b[0] == 0xFF && b[1] == 0xFE) {
      encoding_ = Encoding::Utf16Le;
    } else if (n == 2 && b[0] == 0xFE && b[1] == 0xFF) {
      return fail("UTF-16 big-endian files are not supported");
    } else if (n == 3 && b[2] == 0xBF) {
      return fail("a UTF-8 byte order mark, which regedit refuses: save the file as UTF-16LE, or as "
                  "UTF-8 without the mark");
    } else {
      // No mark: the bytes just taken (all from the first block read) are the first characters'.
      bufferPos_ -= n;
      byteOffset_ -= n;
    }
    lineOffset_ = byteOffset_;
  }

  if (encoding_ == Encoding::Utf16Le) {
    const auto unit = [&](char32_t& u) {
      int lo = GetByte();
      if (lo == kEndOfFile) return Got::End;
      int hi = lo == kReadFailed ? lo : GetByte();
      if (lo == kReadFailed || hi == kReadFailed) return fail("cannot read the file");
      if (hi == kEndOfFile) return fail("the file ends in the middle of a UTF-16 character");
      u = static_cast<char32_t>(lo | (hi << 8));
      return Got::Ok;
    };
    Got got = unit(cp);
    if (got != Got::Ok) return got;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("invalid UTF-16: a low surrogate without a high one");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      char32_t low = 0;
      got = unit(low);
      if (got == Got::Error) return got;
      if (got == Got::End || low < 0xDC00 || low > 0xDFFF)
        return fail("invalid UTF-16: a high surrogate without a low one");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    return Got::Ok;
  }

  int b0 = GetByte();
  if (b0 == kEndOfFile) return Got::End;
  if (b0 == kReadFailed) return fail("cannot read the file");
  if (encoding_ == Encoding::SingleByte) {
    cp = SingleByteChar(codePage_, static_cast<unsigned char>(b0));
    return Got::Ok;
  }
  if (b0 < 0x80) {
    cp = static_cast<char32_t>(b0);
    return Got::Ok;
  }
  int n;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    n = 1, min = 0x80, cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 2, min = 0x800, cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 3, min = 0x10000, cp = b0 & 0x07;
  } else {
    return fail("invalid UTF-8");
  }
  for (int k = 0; k < n; ++k) {
    int b = GetByte();
    if (b == kReadFailed) return fail("cannot read the file");
    if (b == kEndOfFile) return fail("the file ends in the middle of a UTF-8 character");
    if ((b & 0xC0) != 0x80) return fail("invalid UTF-8");
    cp = (cp << 6) | static_cast<char32_t>(b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return fail("invalid UTF-8");
  return Got::Ok;
}

Reader::Got Reader::ReadLine() {
  line_.clear();
  ++lineNo_;
  if (pending_) {
    lineOffset_ = pendingOffset_;
  } else if (started_) {
    lineOffset_ = byteOffset_;
  }
  bool any = false;
  for (;;) {
    // Most of a file is ASCII: a run of it goes from the buffer to the line without decoding.
    if (!pending_ && started_) {
      const std::size_t start = line_.size();
      const std::size_t step = encoding_ == Encoding::Utf16Le ? 2 : 1;
      // Copied through a small block, appended to the line a block at a time.
      char block[256];
      std::size_t n = 0;
      const char* p = buffer_ + bufferPos_;
      const char* const last = buffer_ + bufferEnd_;
      while (static_cast<std::size_t>(last - p) >= step) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (!kPlainAscii[c] || (step == 2 && p[1] != 0)) break;
        block[n++] = static_cast<char>(c);
        p += step;
        if (n == sizeof block) {
          line_.append(block, n);
          n = 0;
        }
      }
      line_.append(block, n);
      bufferPos_ = static_cast<std::size_t>(p - buffer_);
      byteOffset_ += (line_.size() - start) * step;
      any = any || line_.size() != start;
      if (line_.size() > kMaxLineBytes) {
        error_ = Error{"line longer than 16 MiB", PositionAt(0), path_};
        return Got::Error;
      }
    }
    char32_t cp;
    if (pending_) {
      cp = *pending_;
      pending_.reset();
    } else {
      Got got = DecodeChar(cp);
      if (got == Got::Error) return got;
      if (got == Got::End) {
        if (any) return Got::Ok;
        --lineNo_;
        return Got::End;
      }
    }
    any = true;
    if (cp == '\n') return Got::Ok;
    if (cp == '\r') {
      // CRLF is one line end; a lone CR is one too.
      std::uint64_t next = byteOffset_;
      char32_t after;
      Got got = DecodeChar(after);
      if (got == Got::Error) return got;
      if (got == Got::Ok && after != '\n') {
        pending_ = after;
        pendingOffset_ = next;
      }
      return Got::Ok;
    }
    if (cp == 0) {
      error_ = Error{"NUL character in the file", PositionAt(line_.size()), path_};
      return Got::Error;
    }
    utf8::Append(line_, cp);
    if (line_.size() > kMaxLineBytes) {
      error_ = Error{"line longer than 16 MiB", PositionAt(0), path_};
      return Got::Error;
    }
  }
}

Position Reader::PositionAt(std::size_t index) const {
  if (index > line_.size()) index = line_.size();
  Position p;
  p.line = lineNo_ == 0 ? 1 : lineNo_;
  std::uint64_t chars = 0, units = 0;
  for (std::size_t k = 0; k < index; ++k) {
    unsigned char c = static_cast<unsigned char>(line_[k]);
    if ((c & 0xC0) != 0x80) {
      ++chars;
      units += c >= 0xF0 ? 2 : 1;
    }
  }
  p.column = chars + 1;
  p.byteOffset = lineOffset_ + (encoding_ == Encoding::Utf16Le    ? 2 * units
                                 : encoding_ == Encoding::SingleByte ? chars
                                                                     : index);
  return p;
}

// ---- Statements -----------------------------------------------------------------------------------

Reader::Step Reader::Fail(std::string message, std::size_t index) {
  error_ = Error{std::move(message), PositionAt(index), path_};
  done_ = true;
  return Step::Error;
}

void Reader::SkipBlanks(std::size_t& i) const {
  while (i < line_.size() && IsBlank(line_[i])) ++i;
}

Reader::Step Reader::Next(Record& record) {
  if (done_) return error_ ? Step::Error : Step::End;
  if (!headerRead_) {
    Step step = ReadHeader();
    if (step != Step::Record) {
      done_ = true;
      return step;
    }
  }
  for (;;) {
    Got got = ReadLine();
    if (got != Got::Ok) {
      done_ = true;
      return got == Got::End ? Step::End : Step::Error;
    }
    std::size_t i = 0;
    SkipBlanks(i);
    if (i == line_.size() || line_[i] == ';' || line_[i] == '#') continue;
    record = Record{};
    record.position = PositionAt(i);
    switch (line_[i]) {
      case '[':
        return ParseKey(record);
      case '@':
      case '"':
        return ParseValue(record);
      default:
        return Fail("expected a [key] line, a value or a comment", i);
    }
  }
}

Reader::Step Reader::ReadHeader() {
  headerRead_ = true;
  Got got = ReadLine();
  if (got == Got::Error) return Step::Error;
  std::size_t i = 0;
  SkipBlanks(i);
  const std::string_view header = std::string_view(line_).substr(i);
  if (got == Got::Ok && header == kUnicodeHeader) {
    format_ = Format::Unicode;
  } else if (got == Got::Ok && header == kAnsiHeader) {
    format_ = Format::Ansi;
  } else {
    error_ = Error{got == Got::End ? "the file is empty: expected the header \"Windows Registry Editor "
                                     "Version 5.00\" or \"REGEDIT4\""
                                   : "missing or unknown header: expected \"Windows Registry Editor "
                                     "Version 5.00\" or \"REGEDIT4\"",
                   PositionAt(0), path_};
    return Step::Error;
  }
  return Step::Record;
}

Reader::Step Reader::ParseKey(Record& record) {
  std::size_t i = line_.find('[') + 1;
  bool remove = i < line_.size() && line_[i] == '-';
  if (remove) ++i;
  // The last "]" ends the name; regedit ignores whatever follows it.
  std::size_t close = line_.rfind(']');
  if (close == std::string::npos || close < i) return Fail("expected \"]\" at the end of the key name", line_.size());
  std::string_view name(line_.data() + i, close - i);
  std::size_t slash = name.find('\\');
  std::string_view rootName = name.substr(0, slash);
  auto root = RootFromName(rootName);
  if (!root) return Fail("unknown root key \"" + std::string(rootName) + "\"", i);
  if (slash != std::string_view::npos && slash + 1 < name.size() && name[slash + 1] == '\\')
    return Fail("an empty key name right after the root", i + slash + 1);
  record.kind = remove ? Record::Kind::DeleteKey : Record::Kind::Key;
  record.root = *root;
  std::size_t at = slash == std::string_view::npos ? name.size() : slash + 1;
  while (at < name.size()) {
    std::size_t end = name.find('\\', at);
    if (end == std::string_view::npos) end = name.size();
    std::string_view part = name.substr(at, end - at);
    if (!part.empty()) {
      if (utf8::MoreUnits16Than(part, kMaxKeyNameChars)) return Fail("a key name has at most 255 characters", i + at);
      if (!record.keyPath.empty()) record.keyPath += '\\';
      record.keyPath += part;
    }
    at = end + 1;
  }
  if (remove && record.keyPath.empty()) return Fail("a root key cannot be deleted", i);
  inKey_ = !remove;
  return Step::Record;
}

// A quoted name or text from the opening quote at i; i ends after the closing quote. Answers false
// with the error set (and i at the place) when the text is not terminated or holds "\0".
bool Reader::ParseQuoted(std::size_t& i, std::string& out) {
  ++i;  // the opening quote
  while (i < line_.size()) {
    char c = line_[i];
    if (c == '"') {
      ++i;
      return true;
    }
    if (c == '\\' && i + 1 < line_.size()) {
      char e = line_[i + 1];
      switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case '0':
          Fail("\"\\0\" cannot stand in a quoted name or string (regedit refuses it)", i);
          return false;
        default: out += e; break;  // \\ and \" and any other character: the character itself
      }
      i += 2;
      continue;
    }
    out += c;
    ++i;
  }
  Fail("unterminated string: expected a closing quote", line_.size());
  return false;
}

Reader::Step Reader::ParseValue(Record& record) {
  std::size_t i = 0;
  SkipBlanks(i);
  if (!inKey_) return Fail("a value must follow a [key] line", i);
  std::string name;
  if (line_[i] == '@') {
    ++i;
  } else {
    std::size_t start = i;
    if (!ParseQuoted(i, name)) return Step::Error;
    if (utf8::MoreUnits16Than(name, kMaxValueNameChars)) return Fail("a value name has at most 16383 characters", start);
  }
  SkipBlanks(i);
  if (i >= line_.size() || line_[i] != '=') return Fail("expected \"=\" after the value name", i);
  ++i;
  SkipBlanks(i);
  record.name = std::move(name);
  if (i >= line_.size()) return Fail("expected the value's data after \"=\"", i);

  if (line_[i] == '-') {
    record.kind = Record::Kind::DeleteValue;
    return FinishStatement(i + 1);
  }
  record.kind = Record::Kind::Value;
  if (line_[i] == '"') {
    record.type = kRegSz;
    if (!ParseQuoted(i, record.data)) return Step::Error;
    record.data += '\0';
    return FinishStatement(i);
  }
  if (line_.compare(i, 6, "dword:") == 0) {
    i += 6;
    SkipBlanks(i);
    record.type = kRegDword;
    Step step = ParseDword(i, record.data);
    return step == Step::Record ? FinishStatement(i) : step;
  }
  if (line_.compare(i, 3, "hex") == 0) {
    std::size_t j = i + 3;
    std::uint32_t type = kRegBinary;
    if (j < line_.size() && line_[j] == '(') {
      ++j;
      SkipBlanks(j);
      std::uint32_t t = 0;
      const std::size_t end = ScanNumber(line_, j, t, false);
      if (end == kOverflow) return Fail("a type in hex(...) has at most 8 hex digits", j);
      j = end;
      if (j >= line_.size() || line_[j] != ')') return Fail("expected \")\" after the type", j);
      ++j;
      type = t;
    }
    if (j >= line_.size() || line_[j] != ':') return Fail("expected \":\" after hex", j);
    i = j + 1;
    record.type = type;
    const Position dataStart = PositionAt(i);
    Step step = ParseHex(i, record.data);
    if (step != Step::Record) return step;
    if (IsStringType(type) && !DecodeStringData(record.data)) {
      error_ = Error{"the string data is not UTF-16LE text (odd length or unpaired surrogate)", dataStart, path_};
      done_ = true;
      return Step::Error;
    }
    return FinishStatement(i);
  }
  return Fail("unknown data: expected \"text\", -, dword:, hex: or hex(type): (in lower case)", i);
}

// String data given in hex, into the UTF-8 that records hold: UTF-16LE in a UTF-16 file, the code page
// in an 8-bit one. Data that does not end in a NUL character gets one, as regedit gives it.
bool Reader::DecodeStringData(std::string& data) const {
  if (encoding_ == Encoding::Utf16Le) {
    if (data.size() % 2 != 0) return false;
    if (data.size() >= 2 && (data[data.size() - 2] != '\0' || data.back() != '\0')) data.append(2, '\0');
    std::string utf8;
    if (!Utf16LeToUtf8(data, utf8)) return false;
    data = std::move(utf8);
    return true;
  }
  if (!data.empty() && data.back() != '\0') data += '\0';
  if (encoding_ == Encoding::Utf8 && IsUtf8(data)) return true;
  if (encoding_ == Encoding::Utf8 && !utf8Fallback_) return false;
  // A single-byte code page, or UTF-8 chosen for the file's text while this data is not UTF-8.
  const CodePage codePage = encoding_ == Encoding::Utf8 ? CodePage::Windows1252 : codePage_;
  std::string utf8;
  for (char c : data) utf8::Append(utf8, SingleByteChar(codePage, static_cast<unsigned char>(c)));
  data = std::move(utf8);
  return true;
}

Reader::Step Reader::ParseDword(std::size_t& i, std::string& data) {
  std::size_t start = i;
  std::uint64_t value = 0;
  while (i < line_.size() && HexDigitValue(line_[i]) >= 0) value = value * 16 + static_cast<std::uint64_t>(HexDigitValue(line_[i++]));
  if (i == start) return Fail("expected 1 to 8 hex digits after dword:", i);
  if (i - start > 8) return Fail("a dword has at most 8 hex digits", start);
  for (int k = 0; k < 4; ++k) data.push_back(static_cast<char>((value >> (8 * k)) & 0xFF));
  return Step::Record;
}

// After a line continuation: the next line that holds data, with i at its first character. Blank
// lines and ";" comment lines are passed over; a "#" line ends the value in regedit, and is an error.
Reader::Got Reader::NextContentLine(std::size_t& i) {
  for (;;) {
    Got got = ReadLine();
    if (got != Got::Ok) return got;
    i = 0;
    SkipBlanks(i);
    if (i == line_.size() || line_[i] == ';') continue;
    if (line_[i] == '#') {
      Fail("a \"#\" line cannot stand inside continued hex data (only \";\" comments can)", i);
      return Got::Error;
    }
    return Got::Ok;
  }
}

// Bytes of one or two hex digits. A byte is followed by a comma, or by blanks and the end of the
// line (or a ";" comment); after a comma come blanks, then a byte, a "\" that continues the data on
// the next line, or the end of the line. The data may start with a continuation, and it ends at the
// end of the file too.
Reader::Step Reader::ParseHex(std::size_t& i, std::string& data) {
  bool expectByte = true;   // at the start, after a comma, after a continuation
  bool mustByte = false;    // after a continuation: the line's data starts with a byte
  bool continued = false;   // on a line after a continuation
  for (;;) {
    if (expectByte) {
      const std::size_t blanksAt = i;
      SkipBlanks(i);
      // On a continued line regedit drops the value when blanks after its last comma end the line
      // (on the first line it takes them).
      if (continued && !mustByte && i > blanksAt && i >= line_.size())
        return Fail("on a continued line, blanks after the last comma must not end the line", blanksAt);
      if (!mustByte && (i >= line_.size() || line_[i] == ';')) return Step::Record;
      if (!mustByte && line_[i] == '\\') {
        std::size_t j = i + 1;
        SkipBlanks(j);
        if (j < line_.size() && line_[j] != ';') return Fail("unexpected text after the line continuation", j);
        Got got = NextContentLine(i);
        if (got == Got::Error) {
          done_ = true;
          return Step::Error;
        }
        if (got == Got::End) return Step::Record;  // the end of the file ends the data
        mustByte = continued = true;
        continue;
      }
      // The common byte, two hex digits and no third: taken as it is (ScanNumber reads every other form).
      if (i + 2 <= line_.size() && HexDigitValue(line_[i]) >= 0 && HexDigitValue(line_[i + 1]) >= 0 &&
          (i + 2 == line_.size() || HexDigitValue(line_[i + 2]) < 0)) {
        data.push_back(static_cast<char>(HexDigitValue(line_[i]) * 16 + HexDigitValue(line_[i + 1])));
        if (data.size() > kMaxDataBytes) return Fail("value data larger than 16 MiB", i);
        i += 2;
        expectByte = false;
        mustByte = false;
        continue;
      }
      std::uint32_t value = 0;
      const std::size_t end = ScanNumber(line_, i, value);
      if (end == i)
        return Fail(mustByte ? "expected a hex byte at the start of the continued line"
                             : "expected a hex byte (one or two hex digits)",
                    i);
      if (end == kOverflow || value > 0xFF) {
        // Most often two bytes written without their comma ("0203"): say so where the comma belongs.
        if (HexDigitValue(line_[i]) >= 0 && HexDigitValue(line_[i + 1]) >= 0 && line_.compare(i, 2, "0x") != 0)
          return Fail("expected a comma between hex bytes", i + 2);
        return Fail("a byte is at most ff", i);
      }
      const std::size_t digits = end - i;
      data.push_back(static_cast<char>(value));
      if (data.size() > kMaxDataBytes) return Fail("value data larger than 16 MiB", i);
      i += digits;
      expectByte = false;
      mustByte = false;
      continue;
    }
    // After a byte.
    if (i < line_.size() && line_[i] == ',') {
      ++i;
      expectByte = true;
      continue;
    }
    if (i < line_.size() && line_[i] == '\\') return Fail("expected a comma before the line continuation", i);
    std::size_t j = i;
    SkipBlanks(j);
    if (j < line_.size() && line_[j] == ',') return Fail("a blank cannot stand before the comma", i);
    if (j < line_.size() && line_[j] != ';') return Fail("expected a comma or the end of the hex data", j);
    i = j;
    return Step::Record;
  }
}

Reader::Step Reader::FinishStatement(std::size_t i) {
  SkipBlanks(i);
  if (i < line_.size() && line_[i] != ';') return Fail("unexpected text at the end of the line", i);
  return Step::Record;
}

}  // namespace cregistry::regfile
