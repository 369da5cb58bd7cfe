// MD5 fingerprints of member files as 32 lower-case hex digits.
#include <md5.h>

#include <vector>

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

int md5_file_hex(const char* path, char* out) {
  file_ptr f(std::fopen(path, "rb"));
  if (!f) return -1;
  MD5_CTX ctx;
  MD5Init(&ctx);
  std::vector<unsigned char> block(32 * 1024);
  std::size_t n;
  while ((n = std::fread(block.data(), 1, block.size(), f.get())) > 0) {
    MD5Update(&ctx, block.data(), n);
  }
  // A read error part-way would otherwise pass for a shorter file and make a
  // digest that no extraction can ever match.
  if (std::ferror(f.get())) return -1;
  unsigned char digest[16];
  MD5Final(digest, &ctx);
  md5_digest_hex(digest, out);
  return 0;
}

void md5_string_hex(const char* text, char* out) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, reinterpret_cast<const unsigned char*>(text),
            std::char_traits<char>::length(text));
  unsigned char digest[16];
  MD5Final(digest, &ctx);
  md5_digest_hex(digest, out);
}

bool md5_self_test() {
  char buffer[64] = {};
  md5_string_hex("hello world", buffer);
  return std::string_view(buffer) == "5eb63bbbe01eeed093cb22bb8f5acdc3";
}

}  // namespace kb
