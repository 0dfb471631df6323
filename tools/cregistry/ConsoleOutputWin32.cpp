#include <windows.h>

#include <streambuf>
#include <string>

#include "tools/cregistry/ConsoleOutput.h"

namespace cregistry::tool {

namespace {

// A stream buffer over one standard handle that takes UTF-8 and writes it as the handle wants it.
// A character split across two flushes waits for its last bytes.
class ConsoleBuffer : public std::streambuf {
 public:
  explicit ConsoleBuffer(DWORD which) : handle_(GetStdHandle(which)) {
    DWORD mode = 0;
    console_ = handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr && GetConsoleMode(handle_, &mode);
    setp(buffer_, buffer_ + sizeof buffer_);
  }
  ~ConsoleBuffer() override { sync(); }

 protected:
  int_type overflow(int_type ch) override {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }

  int sync() override {
    pending_.append(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(buffer_, buffer_ + sizeof buffer_);
    std::size_t complete = CompletePrefix(pending_);
    if (complete == 0) return 0;
    std::wstring wide(complete, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(complete), wide.data(),
                                static_cast<int>(wide.size()));
    pending_.erase(0, complete);
    wide.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    // Lines end in CR LF, as every console program's output does on Windows.
    std::wstring lines;
    lines.reserve(wide.size() + wide.size() / 16);
    for (wchar_t ch : wide) {
      if (ch == L'\n' && (lines.empty() || lines.back() != L'\r')) lines += L'\r';
      lines += ch;
    }
    return Write(lines) ? 0 : -1;
  }

 private:
  // The length of text up to its last whole UTF-8 character.
  static std::size_t CompletePrefix(const std::string& text) {
    std::size_t end = text.size();
    for (std::size_t back = 1; back <= 3 && back <= end; ++back) {
      unsigned char c = static_cast<unsigned char>(text[end - back]);
      if ((c & 0xC0) != 0x80) {
        std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? end - back : end;
      }
    }
    return end;
  }

  bool Write(const std::wstring& wide) {
    if (wide.empty()) return true;
    DWORD done = 0;
    if (console_) return WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr) != 0;
    const UINT codePage = GetConsoleOutputCP() != 0 ? GetConsoleOutputCP() : GetOEMCP();
    int size = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(), size, nullptr, nullptr);
    return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) != 0;
  }

  HANDLE handle_;
  bool console_ = false;
  char buffer_[4096];
  std::string pending_;
};

}  // namespace

std::ostream& StandardOutput() {
  static ConsoleBuffer buffer(STD_OUTPUT_HANDLE);
  static std::ostream stream(&buffer);
  return stream;
}

std::ostream& StandardError() {
  static ConsoleBuffer buffer(STD_ERROR_HANDLE);
  static std::ostream stream(&buffer);
  return stream;
}

}  // namespace cregistry::tool
