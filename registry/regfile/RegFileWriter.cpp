#include "registry/regfile/RegFileWriter.h"

#include "registry/Ascii.h"

namespace cregistry::regfile {

namespace {

constexpr std::size_t kFlushBytes = 64 * 1024;
constexpr std::size_t kHexLineChars = 77;

// Length in UTF-16 units of well-formed UTF-8 text: what regedit counts when it breaks lines.
std::size_t Utf16Units(std::string_view utf8) {
  std::size_t n = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) n += c >= 0xF0 ? 2 : 1;
  }
  return n;
}

// A REG_SZ that regedit's "text" form holds without loss: one terminating NUL and no other.
}  // namespace

std::string EscapeString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

Writer::Writer(std::ostream& out, Format format) : out_(out), format_(format) {
  if (format_ == Format::Unicode) {
    out_.write("\xFF\xFE", 2);
    text_ += kUnicodeHeader;
  } else {
    text_ += kAnsiHeader;
  }
  text_ += "\r\n";
}

bool Writer::Key(std::string_view path) { return KeyLine("\r\n[", path); }

bool Writer::DeleteKey(std::string_view path) { return KeyLine("\r\n[-", path); }

bool Writer::KeyLine(std::string_view opening, std::string_view path) {
  if (!IsUtf8(path)) return false;
  text_ += opening;
  text_ += path;
  text_ += "]\r\n";
  Flush();
  return true;
}

std::size_t Writer::AppendName(std::string_view name) {
  if (name.empty()) {
    text_ += "@=";
    return 2;
  }
  std::string escaped = EscapeString(name);
  text_ += '"';
  text_ += escaped;
  text_ += "\"=";
  return Utf16Units(escaped) + 3;
}

bool Writer::DeleteValue(std::string_view name) {
  if (!IsUtf8(name)) return false;
  AppendName(name);
  text_ += "-\r\n";
  Flush();
  return true;
}

bool Writer::Value(std::string_view name, std::uint32_t type, std::string_view data) {
  if (!IsUtf8(name)) return false;
  const bool text = IsStringType(type);
  if (text && !IsUtf8(data)) return false;
  std::size_t lineLength = AppendName(name);
  if (type == kRegSz) {
    // As regedit writes REG_SZ: always a quoted string, up to the first NUL.
    text_ += '"';
    text_ += EscapeString(data.substr(0, data.find('\0')));
    text_ += '"';
  } else if (type == kRegDword && data.size() == 4) {
    text_ += "dword:";
    for (int k = 3; k >= 0; --k) {
      ascii::AppendHexByte(text_, static_cast<unsigned char>(data[static_cast<std::size_t>(k)]), ascii::kHexLower);
    }
  } else if (text && format_ == Format::Unicode) {
    std::string wide;
    Utf8ToUtf16Le(data, wide);
    AppendHex(type, wide, lineLength);
  } else {
    AppendHex(type, data, lineLength);
  }
  text_ += "\r\n";
  Flush();
  return true;
}

void Writer::AppendHex(std::uint32_t type, std::string_view bytes, std::size_t lineLength) {
  if (type == kRegBinary) {
    text_ += "hex:";
    lineLength += 4;
  } else {
    std::string prefix = "hex(";
    char digits[8];
    int n = 0;
    std::uint32_t t = type;
    do {
      digits[n++] = ascii::kHexLower[t & 0xF];
      t >>= 4;
    } while (t != 0);
    while (n > 0) prefix += digits[--n];
    prefix += "):";
    text_ += prefix;
    lineLength += prefix.size();
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    ascii::AppendHexByte(text_, static_cast<unsigned char>(bytes[i]), ascii::kHexLower);
    if (i + 1 == bytes.size()) break;
    text_ += ',';
    lineLength += 3;
    if (lineLength >= kHexLineChars) {
      text_ += "\\\r\n  ";
      lineLength = 2;
    }
  }
}

void Writer::Flush() {
  if (text_.size() >= kFlushBytes) WriteText();
}

bool Writer::Finish() {
  text_ += "\r\n";
  WriteText();
  out_.flush();
  return static_cast<bool>(out_);
}

void Writer::WriteText() {
  if (format_ == Format::Unicode) {
    Utf8ToUtf16Le(text_, encoded_);
    out_.write(encoded_.data(), static_cast<std::streamsize>(encoded_.size()));
  } else {
    out_.write(text_.data(), static_cast<std::streamsize>(text_.size()));
  }
  text_.clear();
}

}  // namespace cregistry::regfile
