// The package store without the binary: codec, digests, trailer.
#include <fcntl.h>

#include "ops/package.h"
#include "support/helpers.h"

using namespace kb;
using namespace kb::test;

TEST(Codec, EveryByteAtEveryTailLength) {
  // Lengths around the vector width exercise the padded tail; the rule is
  // written per byte here to pin the vectorised codec against.
  for (std::size_t len = 0; len <= 300; ++len) {
    std::string plain, want;
    for (std::size_t i = 0; i < len; ++i) {
      const int b = static_cast<unsigned char>(i * 37 + len);
      plain += static_cast<char>(b);
      want += static_cast<char>(b < 33 || b > 126 ? b : b <= 100 ? b + 26 : b - 68);
    }
    ASSERT_EQ(scramble(plain), want) << len;
    crypt_decode(reinterpret_cast<unsigned char*>(want.data()), len);
    ASSERT_EQ(want, plain) << len;
  }
}

using Store = pac_test;

// Files are digested end to end by make and extract; these are the edges.
TEST_F(Store, Md5OfStringsAndFiles) {
  EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  write_file(at("f"), random_bytes(200000, 7));  // several blocks
  char out[MD5_TEXT_SIZE] = {};
  fd_closer f(open(at("f").c_str(), O_RDONLY));
  EXPECT_EQ(md5_fd_prefix_hex(f.get(), 200001, out), -1);  // one byte short
  EXPECT_TRUE(md5_fd_hex(f.get(), out) == 0 && out == md5_hex(read_file(at("f"))));
}

TEST_F(Store, EveryCutOfAPackageIsRefused) {
  const std::string data(300, 'x'), p = at("p.pac");
  const std::string good = package_bytes(data, index_of("2|s,200,100|m,100,0", data));
  auto load = [](const std::string& path) {
    load_package(package_file(path, package_use::reading));
  };
  write_file(p, good + "!");
  EXPECT_THROW(load(p), kb_error);
  write_file(p, good);
  load(p);
  for (off_t len = 24460 - 1; len >= 0; --len) {  // short of a trailer: refused by name
    ASSERT_EQ(truncate(p.c_str(), len), 0);
    try {
      load(p);
      ASSERT_EQ(len, 24160) << "a cut package loaded";  // read as a bare empty trailer
    } catch (const kb_error& e) {
      ASSERT_TRUE(len >= 24160 || e.what() == "\r\n " + p + " is not a pac file! \r\n");
    }
  }
  // A 1.2 GB sparse data region: size and offset each fit, their 32-bit sum
  // wraps negative, yet the member would run past the data.
  ASSERT_EQ(truncate(p.c_str(), 1200000000), 0);
  std::ofstream(p, std::ios::app | std::ios::binary)
      << package_bytes("", index_of("1|a,1100000000,1100000000", ""));
  EXPECT_THROW(load(p), kb_error);
}
