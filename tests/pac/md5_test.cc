#include <gtest/gtest.h>

#include "support/helpers.h"

namespace kb {
namespace {

std::string hex_of(const char* text) {
  char out[MD5_TEXT_SIZE] = {};
  md5_string_hex(text, out);
  return out;
}

TEST(Md5, Rfc1321Vectors) {
  EXPECT_EQ(hex_of(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hex_of("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(hex_of("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(hex_of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(hex_of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(hex_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(hex_of("1234567890123456789012345678901234567890123456789012345678901234567890"
                   "1234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  EXPECT_TRUE(md5_self_test());
}

TEST(Md5, Files) {
  test::scratch_dir dir;
  char out[MD5_TEXT_SIZE] = {};
  test::write_file(dir / "empty", "");
  EXPECT_EQ(md5_file_hex((dir / "empty").c_str(), out), 0);
  EXPECT_STREQ(out, "d41d8cd98f00b204e9800998ecf8427e");

  // Larger than the read block, so the digest spans several reads.
  std::string big = test::random_bytes(200000, 7);
  test::write_file(dir / "big", big);
  EXPECT_EQ(md5_file_hex((dir / "big").c_str(), out), 0);
  EXPECT_EQ(out, test::md5_of(big));

  // A prefix: what make stores of a file that grew since its size was taken.
  EXPECT_EQ(md5_file_prefix_hex((dir / "big").c_str(), 100000, out), 0);
  EXPECT_EQ(out, test::md5_of(big.substr(0, 100000)));
  EXPECT_EQ(md5_file_prefix_hex((dir / "big").c_str(), 200001, out), -1);

  char untouched[MD5_TEXT_SIZE] = "unchanged";
  EXPECT_EQ(md5_file_hex((dir / "missing").c_str(), untouched), -1);
  EXPECT_STREQ(untouched, "unchanged");
}

}  // namespace
}  // namespace kb
