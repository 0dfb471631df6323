#include "tools/cregistry/OutputFile.h"

#include <atomic>
#include <chrono>
#include <random>
#include <streambuf>
#include <vector>

namespace cregistry::tool {

// A stream buffer over a file descriptor that keeps the first write error.
class OutputFile::Buffer : public std::streambuf {
 public:
  explicit Buffer(int fd) : fd_(fd), space_(64 * 1024) { setp(space_.data(), space_.data() + space_.size()); }
  ~Buffer() override {
    if (fd_ >= 0) platform::Close(fd_);
  }
  std::error_code Finish() {
    FlushBuffer();
    std::error_code ec = platform::SyncAndClose(fd_);
    fd_ = -1;
    return error_ ? error_ : ec;
  }

 protected:
  int_type overflow(int_type c) override {
    if (!FlushBuffer()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return FlushBuffer() ? 0 : -1; }

 private:
  bool FlushBuffer() {
    std::size_t n = static_cast<std::size_t>(pptr() - pbase());
    if (n != 0 && !error_) error_ = platform::WriteAll(fd_, pbase(), n);
    setp(space_.data(), space_.data() + space_.size());
    return !error_;
  }
  int fd_;
  std::vector<char> space_;
  std::error_code error_;
};

OutputFile::OutputFile() = default;

OutputFile::~OutputFile() {
  stream_.reset();
  buffer_.reset();
  if (!temp_.empty() && !committed_) platform::Remove(temp_);
}

std::error_code OutputFile::Open(const std::string& target) {
  target_ = target;
  std::size_t slash = target.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  static std::atomic<unsigned> counter{0};
  std::mt19937_64 random(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) +
                         counter++);
  std::error_code ec;
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string candidate = folder + "." + base + "." + std::to_string(random() % 1000000000u) + ".tmp";
    int fd = platform::CreateExclusive(candidate, ec);
    if (fd >= 0) {
      temp_ = candidate;
      buffer_ = std::make_unique<Buffer>(fd);
      stream_ = std::make_unique<std::ostream>(buffer_.get());
      return {};
    }
    if (ec != std::errc::file_exists) return ec;
  }
  return ec;
}

std::ostream& OutputFile::stream() { return *stream_; }

std::error_code OutputFile::Commit(bool replace) {
  stream_->flush();
  std::error_code ec = buffer_->Finish();
  if (ec) return ec;
  ec = platform::Place(temp_, target_, replace);
  if (!ec) committed_ = true;
  return ec;
}

bool PathExists(const std::string& path) { return platform::Exists(path); }

}  // namespace cregistry::tool
