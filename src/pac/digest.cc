// MD5 fingerprints of member files as 32 lower-case hex digits.
#include "pac/digest.h"

#include <md5.h>
#include <unistd.h>

#include <algorithm>

#include "base/io.h"
#include "pac/codec.h"
#include "pac/pieces.h"

namespace kb {

int md5_fd_prefix_hex(int fd, std::int64_t length, char* out) {
  constexpr std::int64_t BLOCK = 32 * 1024;
  MD5_CTX ctx;
  MD5Init(&ctx);
  chunk_buffer block(BLOCK);
  std::int64_t at = 0;
  while (length < 0 || at < length) {
    const std::int64_t want = length < 0 ? BLOCK : std::min(BLOCK, length - at);
    const ssize_t n = pread(fd, block.data(), static_cast<std::size_t>(want), at);
    if (n < 0) return -1;
    if (n == 0) break;
    MD5Update(&ctx, block.data(), static_cast<std::size_t>(n));
    at += n;
  }
  // A file that ends early would pass for a shorter one, whose digest no
  // extraction can ever match.
  if (length >= 0 && at < length) return -1;
  MD5End(&ctx, out);
  return 0;
}

int md5_fd_hex(int fd, char* out) {
  return md5_fd_prefix_hex(fd, -1, out);
}

int md5_member_hex(int package, std::int64_t offset, std::int64_t size, unsigned char* buffer,
                   std::size_t slice, char* out, std::atomic<std::int64_t>* done) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  piece_walk walk(offset, size, 0, size, piece_walk::member_order);
  for (piece p; walk.next(p);) {
    for (std::size_t got = 0; got < p.length;) {
      const std::size_t n = std::min(slice, p.length - got);
      if (!read_at(package, buffer, n, p.start + static_cast<std::int64_t>(got))) return -1;
      crypt_decode(buffer, n);
      MD5Update(&ctx, buffer, n);
      got += n;
      if (done != nullptr) *done += static_cast<std::int64_t>(n);
    }
  }
  MD5End(&ctx, out);
  return 0;
}

std::string md5_hex(std::string_view bytes) {
  char out[MD5_TEXT_SIZE];
  MD5Data(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out);
  return out;
}

bool md5_self_test() {
  return md5_hex("hello world") == "5eb63bbbe01eeed093cb22bb8f5acdc3";
}

}  // namespace kb
