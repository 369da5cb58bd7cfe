// Whole regions through descriptors, and small files read from outside.
#include "base/io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "base/console.h"
#include "base/signals.h"

namespace kb {
namespace {

// Repeats a positioned read or write, call(done) moving the bytes from
// offset done on, until all length bytes are moved.
template <typename Call>
bool transfer_all(std::size_t length, Call call) {
  for (std::size_t done = 0; done < length;) {
    ssize_t n = call(done);
    // A stop request ends the transfer; any other signal only delays it.
    if (n < 0 && errno == EINTR && !interrupt_requested()) continue;
    if (n == 0) errno = 0;  // the file ended early
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool write_at(int fd, const unsigned char* data, std::size_t length, std::int64_t at) {
  return transfer_all(length, [&](std::size_t done) {
    return pwrite(fd, data + done, length - done, at + static_cast<std::int64_t>(done));
  });
}

bool read_at(int fd, unsigned char* data, std::size_t length, std::int64_t at) {
  return transfer_all(length, [&](std::size_t done) {
    return pread(fd, data + done, length - done, at + static_cast<std::int64_t>(done));
  });
}

bool write_all(int fd, const unsigned char* data, std::size_t length) {
  return transfer_all(length,
                      [&](std::size_t done) { return write(fd, data + done, length - done); });
}

fd_closer reopen(int handle, int flags) {
  return fd_closer(open(("/proc/self/fd/" + std::to_string(handle)).c_str(), flags | O_CLOEXEC));
}

namespace {

std::optional<std::string> read_bounded(int dir, const std::string& name, const std::string& path,
                                        std::size_t max, bool follow) {
  fd_closer fd(
      openat(dir, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW)));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
    say_reason(path, errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    note(path + ": not a regular file");
    return std::nullopt;
  }
  std::string text;
  char buf[8192];
  for (ssize_t n; (n = read(fd.get(), buf, sizeof buf)) != 0;) {
    if (n < 0 || text.size() + static_cast<std::size_t>(n) > max) {
      say_reason(path, n < 0 ? errno : EFBIG);
      return std::nullopt;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace

std::optional<std::string> read_bounded(const std::string& path, std::size_t max, bool follow) {
  return read_bounded(AT_FDCWD, path, path, max, follow);
}

std::optional<std::string> read_bounded_at(int dir, const std::string& name,
                                           const std::string& path, std::size_t max) {
  return read_bounded(dir, name, path, max, false);
}

bool open_standard_descriptors() {
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number: this one, as those below it are open.
    if (open("/dev/null", O_RDWR) != fd) return false;
  }
  return true;
}

}  // namespace kb
