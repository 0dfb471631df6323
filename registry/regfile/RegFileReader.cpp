// The reader's statement layer: the header, and the statements of a version 5.00 or REGEDIT4 file on
// the lines that RegFileEncoding.cpp decodes (those of a REGEDIT file are read in Regedit31Reader.cpp).
#include "registry/regfile/RegFileReader.h"

#include "registry/Ascii.h"
#include "registry/Utf8.h"

#include <utility>

namespace cregistry::regfile {

namespace {

using ascii::HexDigitValue;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

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
  if (pendingRecord_) {  // the value of a REGEDIT line, after its key
    record = std::move(*pendingRecord_);
    pendingRecord_.reset();
    return Step::Record;
  }
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
    if (format_ == Format::Win31) return ParseWin31Line(record);
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
  } else if (got == Got::Ok && header == kWin31Header) {
    format_ = Format::Win31;
  } else {
    error_ = Error{got == Got::End ? "the file is empty: expected the header \"Windows Registry Editor "
                                     "Version 5.00\", \"REGEDIT4\" or \"REGEDIT\""
                                   : "missing or unknown header: expected \"Windows Registry Editor "
                                     "Version 5.00\", \"REGEDIT4\" or \"REGEDIT\"",
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
  if (ParseKeyName(i, close, record) != Step::Record) return Step::Error;
  record.kind = remove ? Record::Kind::DeleteKey : Record::Kind::Key;
  if (remove && record.keyPath.empty()) return Fail("a root key cannot be deleted", i);
  inKey_ = !remove;
  return Step::Record;
}

// The key name that stands in the line from begin to end, "root\path", into record's root and keyPath.
// Empty components are dropped ("a\\b" is "a\b", a "\" may end the name), but for one right after the
// root: regedit cannot open "root\\path".
Reader::Step Reader::ParseKeyName(std::size_t begin, std::size_t end, Record& record) {
  std::string_view name(line_.data() + begin, end - begin);
  std::size_t slash = name.find('\\');
  std::string_view rootName = name.substr(0, slash);
  auto root = RootFromName(rootName);
  if (!root) return Fail("unknown root key \"" + std::string(rootName) + "\"", begin);
  if (slash != std::string_view::npos && slash + 1 < name.size() && name[slash + 1] == '\\')
    return Fail("an empty key name right after the root", begin + slash + 1);
  record.root = *root;
  record.keyPath.clear();
  std::size_t at = slash == std::string_view::npos ? name.size() : slash + 1;
  while (at < name.size()) {
    std::size_t stop = name.find('\\', at);
    if (stop == std::string_view::npos) stop = name.size();
    std::string_view part = name.substr(at, stop - at);
    if (!part.empty()) {
      if (utf8::MoreUnits16Than(part, kMaxKeyNameChars)) return Fail("a key name has at most 255 characters", begin + at);
      if (!record.keyPath.empty()) record.keyPath += '\\';
      record.keyPath += part;
    }
    at = stop + 1;
  }
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
