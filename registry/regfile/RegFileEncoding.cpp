// The reader's byte and character layer: which encoding a file is in (its byte order mark, else the
// code page, found by reading an 8-bit file through once), its characters decoded into UTF-8 lines,
// the places in the file that errors name, and string data given in hex decoded from the file's
// encoding. The statements on those lines are read in RegFileReader.cpp and Regedit31Reader.cpp.
#include "registry/regfile/RegFileReader.h"

#include "registry/Utf8.h"

#include <array>
#include <utility>

namespace cregistry::regfile {

namespace {

constexpr int kEndOfFile = -1;
constexpr int kReadFailed = -2;

// The characters that a line takes as they are: ASCII but NUL and the line ends.
constexpr auto kPlainAscii = [] {
  std::array<bool, 256> table{};
  for (int c = 1; c < 0x80; ++c) table[c] = c != '\r' && c != '\n';
  return table;
}();

}  // namespace


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

}  // namespace cregistry::regfile
