#include <gtest/gtest.h>

#include <cstdio>

#include "support/helpers.h"

namespace kb {
namespace {

// The rule written per byte, to pin the vectorised codec against.
unsigned char encode_byte(unsigned char b) {
  if (b < 33 || b > 126) return b;
  return b <= 100 ? b + 26 : b + 26 - 94;
}

std::string encoded(std::string s) {
  crypt_encode(reinterpret_cast<unsigned char*>(s.data()), s.size());
  return s;
}

std::string decoded(std::string s) {
  crypt_decode(reinterpret_cast<unsigned char*>(s.data()), s.size());
  return s;
}

TEST(Codec, KnownVectorsAndBoundaries) {
  EXPECT_EQ(encoded("abc"), "{|}");
  EXPECT_EQ(encoded("1.0"), "KHJ");
  EXPECT_EQ(encoded(std::string("\0 \x7f\xff", 4)), std::string("\0 \x7f\xff", 4));
  EXPECT_EQ(encoded("\x21\x64\x65\x7e"), "\x3b\x7e\x21\x3a");  // 33->59 100->126 101->33 126->58
  EXPECT_EQ(decoded("\x3b\x7e\x21\x3a"), "\x21\x64\x65\x7e");
}

TEST(Codec, EveryByteValueAtEveryTailLength) {
  // Lengths around the vector width exercise the padded tail.
  for (std::size_t len = 0; len <= 70; ++len) {
    std::string plain(len, '\0');
    for (std::size_t i = 0; i < len; ++i) plain[i] = static_cast<char>((i * 37 + len) & 0xff);
    std::string want = plain;
    for (auto& c : want) c = static_cast<char>(encode_byte(static_cast<unsigned char>(c)));
    ASSERT_EQ(encoded(plain), want) << "length " << len;
    ASSERT_EQ(decoded(want), plain) << "length " << len;
  }
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
  EXPECT_EQ(decoded(encoded(all)), all);
}

TEST(Codec, StreamCallsRestoreTheBufferAndReportEndOfStream) {
  test::scratch_dir dir;
  std::string plain = "hello, package\n" + test::random_bytes(1000, 1);
  std::string buffer = plain;
  file_ptr out = open_file(dir / "f", "wb");
  EXPECT_EQ(crypt_fwrite(buffer.data(), 1, buffer.size(), out.get()), buffer.size());
  EXPECT_EQ(buffer, plain);
  out.reset();
  EXPECT_EQ(test::read_file(dir / "f"), encoded(plain));

  // Written in one call, read back in another split.
  file_ptr in = open_file(dir / "f", "rb");
  std::string back(plain.size(), '\0');
  EXPECT_EQ(crypt_fread(back.data(), 1, 7, in.get()), 7u);
  EXPECT_EQ(crypt_fread(back.data() + 7, 1, back.size() - 7, in.get()), back.size() - 7);
  EXPECT_EQ(back, plain);
  std::string untouched = "abc";
  EXPECT_EQ(crypt_fread(untouched.data(), 1, 3, in.get()), 0u);
  EXPECT_EQ(untouched, "abc");
}

}  // namespace
}  // namespace kb
