// Building blocks shared by the operations: signal guards, pieces in stored
// order, member name checks, the piece hasher and file descriptors.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "ops/ops.h"

namespace kb {

// While active, SIGINT, SIGTERM and SIGHUP only set a flag that
// interrupt_requested() reports; the previous actions come back with the
// guard's end. An inactive guard changes nothing.
class interrupt_guard {
 public:
  explicit interrupt_guard(bool active);
  ~interrupt_guard();
  interrupt_guard(const interrupt_guard&) = delete;
  interrupt_guard& operator=(const interrupt_guard&) = delete;

 private:
  struct saved_actions;
  std::unique_ptr<saved_actions> saved_;
};

bool interrupt_requested();

// Holds the stop signals back for its lifetime, while a package is being
// put right.
class signal_block {
 public:
  signal_block();
  ~signal_block();
  signal_block(const signal_block&) = delete;
  signal_block& operator=(const signal_block&) = delete;

 private:
  std::unique_ptr<sigset_t> saved_;
};

// One piece of a member in stored order: the member's bytes [0, remaining)
// are taken from their end, so the piece is the stored region's last
// PAC_CHUNK_SIZE bytes, or all that is left.
struct piece {
  std::int64_t start;  // position in the package
  std::size_t length;
};

// Takes the next piece of a member stored at offset with remaining bytes
// still inside the package, and lowers remaining by its length.
piece take_piece(std::int64_t offset, std::int64_t& remaining);

// Refuses a member name that is not a plain file name: one holding "/", or
// "." or "..", would let a foreign package write outside its directory; one
// holding control bytes would spoof the lines that scripts parse.
void check_member_name(std::string_view name);

// Whether text holds a byte below 0x20 or 0x7f (DEL).
bool has_control_byte(std::string_view text);
// text with each control byte shown as "?", for a message or a terminal.
std::string shown(std::string_view text);

// The MD5 of a member's bytes fed piece by piece, hashed on a helper thread
// (or, when none can be had, in the caller's) while the caller writes the
// same piece out. A piece's buffer must stay unchanged until wait().
class piece_hasher {
 public:
  piece_hasher();
  ~piece_hasher();
  piece_hasher(const piece_hasher&) = delete;
  piece_hasher& operator=(const piece_hasher&) = delete;

  void reset();  // starts a new member
  void begin(const unsigned char* data, std::size_t length);
  void wait();  // the last piece given is hashed; its buffer is free again
  // The digest of everything since reset(), as hex text (MD5_TEXT_SIZE bytes).
  void digest_hex(char* out);

 private:
  struct state;
  std::unique_ptr<state> s_;
};

// Waits for a piece_hasher on every way out of a scope, so that no buffer is
// reused while it is still being hashed.
class hash_wait {
 public:
  explicit hash_wait(piece_hasher& h) : h_(h) {}
  ~hash_wait() { h_.wait(); }
  hash_wait(const hash_wait&) = delete;
  hash_wait& operator=(const hash_wait&) = delete;

 private:
  piece_hasher& h_;
};

// Runs job(k) for every k in order, a thread per core (or, when none can be
// had, in wait()), so that the caller can take the results in its own order;
// what a job writes is the caller's once wait(k) returns. The destructor
// waits for the jobs under way and drops those not begun.
class job_pool {
 public:
  job_pool(std::vector<std::size_t> order, std::function<void(std::size_t)> job);
  ~job_pool();
  job_pool(const job_pool&) = delete;
  job_pool& operator=(const job_pool&) = delete;

  bool ready(std::size_t k);
  void wait(std::size_t k);
  // wait(k) for at most ms milliseconds; whether job k is done.
  bool wait_for(std::size_t k, int ms);

 private:
  struct state;
  std::unique_ptr<state> s_;
};

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

 private:
  int fd_;
};

// Positioned writes and reads of all length bytes at offset at, repeated
// until done; false on an error or an end of file before that.
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

// Whether a slot matches the name and type filters (an empty one matches all).
bool selected_by_filters(const pac_options& options, const pac_member& m);

}  // namespace kb
