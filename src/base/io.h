// File descriptors and the calls that move whole regions through them.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

namespace kb {

// A file descriptor closed on every way out of a scope.
class fd_closer {
 public:
  explicit fd_closer(int fd = -1) : fd_(fd) {}
  ~fd_closer() {
    if (fd_ >= 0) close(fd_);
  }
  fd_closer(fd_closer&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  fd_closer& operator=(fd_closer&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  fd_closer(const fd_closer&) = delete;
  fd_closer& operator=(const fd_closer&) = delete;
  int get() const { return fd_; }
  // Gives the descriptor up, for a caller that closes it and must know
  // whether that worked.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A page-aligned buffer for member data: the kernel copies into and out of
// such a buffer several times faster than into one at a heap offset.
class chunk_buffer {
 public:
  explicit chunk_buffer(std::size_t size)
      : data_(static_cast<unsigned char*>(std::aligned_alloc(4096, size))) {
    if (data_ == nullptr) throw std::bad_alloc();
  }
  unsigned char* data() const { return data_.get(); }

 private:
  struct releaser {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  std::unique_ptr<unsigned char, releaser> data_;
};

// Positioned writes and reads of all length bytes at offset at, repeated
// until done; false on an error or an end of file before that (errno 0).
bool write_at(int fd, const unsigned char* data, std::size_t length, std::int64_t at);
bool read_at(int fd, unsigned char* data, std::size_t length, std::int64_t at);
// The same for a stream without positions (a pipe).
bool write_all(int fd, const unsigned char* data, std::size_t length);

// Opens, with flags, the very file a handle (O_PATH) was checked on, not
// whatever its name leads to now; -1 when /proc can not do it.
fd_closer reopen(int handle, int flags);

// A whole small file read from outside (a journal, a key, a signature), or
// nothing (its reason on stderr) when it cannot be read, is not a regular
// file (a FIFO must not hang the run) or holds more than max bytes. A link
// at its name is followed only when follow says so.
std::optional<std::string> read_bounded(const std::string& path, std::size_t max,
                                        bool follow = false);
// The same for name in the directory open at dir, shown as path.
std::optional<std::string> read_bounded_at(int dir, const std::string& name,
                                           const std::string& path, std::size_t max);

// Opens /dev/null in place of each of fds 0, 1 and 2 that is closed, so
// that no file the tool opens later gets a standard descriptor's number
// and takes its messages; false when that can not be done.
bool open_standard_descriptors();

}  // namespace kb
