// The digest of a member while it is being written out.
#pragma once

#include <cstddef>
#include <memory>

namespace kb {

// The MD5 of a member's bytes fed piece by piece, hashed on a helper thread
// (or, when none can be had, in the caller's) while the caller writes the
// same piece out. A piece's buffer must stay unchanged until wait().
class piece_hasher {
 public:
  piece_hasher();
  ~piece_hasher();  // neither copied nor moved: its state is its helper thread's too

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

}  // namespace kb
