// MD5 fingerprints of member files as 32 lower-case hex digits.
#include <md5.h>
#include <unistd.h>

#include "pac/pac.h"

namespace kb {

void md5_digest_hex(const unsigned char digest[16], char* out) {
  static constexpr char HEX[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = HEX[digest[i] >> 4];
    out[2 * i + 1] = HEX[digest[i] & 0xf];
  }
  out[32] = '\0';
}

namespace {

// Digests up to limit bytes of a file (all of it when limit is negative).
int digest_file(const char* path, std::int64_t limit, char* out) {
  file_ptr f(std::fopen(path, "rb"));
  if (!f) return -1;
  MD5_CTX ctx;
  MD5Init(&ctx);
  chunk_buffer block(32 * 1024);
  std::uint64_t left = limit < 0 ? UINT64_MAX : static_cast<std::uint64_t>(limit);
  std::size_t n;
  while (left > 0 &&
         (n = std::fread(block.data(), 1, std::min<std::uint64_t>(32 * 1024, left), f.get())) > 0) {
    MD5Update(&ctx, block.data(), n);
    left -= n;
  }
  // A read error part-way would otherwise pass for a shorter file and make a
  // digest that no extraction can ever match.
  if (std::ferror(f.get()) || (limit >= 0 && left > 0)) return -1;
  unsigned char digest[16];
  MD5Final(digest, &ctx);
  md5_digest_hex(digest, out);
  return 0;
}

}  // namespace

int md5_fd_prefix_hex(int fd, std::int64_t length, char* out) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  chunk_buffer block(32 * 1024);
  std::int64_t at = 0;
  for (; length < 0 || at < length;) {
    const std::int64_t want =
        length < 0 ? 32 * 1024 : std::min<std::int64_t>(32 * 1024, length - at);
    const ssize_t n = pread(fd, block.data(), static_cast<std::size_t>(want), at);
    if (n < 0) return -1;
    if (n == 0) break;
    MD5Update(&ctx, block.data(), static_cast<std::size_t>(n));
    at += n;
  }
  // A file that ends early would pass for a shorter one, whose digest no
  // extraction can ever match.
  if (length >= 0 && at < length) return -1;
  unsigned char digest[16];
  MD5Final(digest, &ctx);
  md5_digest_hex(digest, out);
  return 0;
}

int md5_fd_hex(int fd, char* out) {
  return md5_fd_prefix_hex(fd, -1, out);
}

int md5_file_hex(const char* path, char* out) {
  return digest_file(path, -1, out);
}

int md5_file_prefix_hex(const char* path, std::int64_t length, char* out) {
  return digest_file(path, std::max<std::int64_t>(length, 0), out);
}

void md5_bytes_hex(std::string_view bytes, char* out) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  unsigned char digest[16];
  MD5Final(digest, &ctx);
  md5_digest_hex(digest, out);
}

void md5_string_hex(const char* text, char* out) {
  md5_bytes_hex(text, out);
}

bool md5_self_test() {
  char buffer[64] = {};
  md5_string_hex("hello world", buffer);
  return std::string_view(buffer) == "5eb63bbbe01eeed093cb22bb8f5acdc3";
}

}  // namespace kb
