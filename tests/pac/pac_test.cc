// The package store without the binary: codec, numbers, digests, trailer.
#include <unistd.h>

#include <cstring>

#include "support/helpers.h"

namespace kb {
namespace {

using test::set_slot;

TEST(Codec, EveryByteAtEveryTailLength) {
  EXPECT_EQ(test::scramble("abc1.0"), "{|}KHJ");
  // Lengths around the vector width exercise the padded tail; the rule is
  // written per byte here to pin the vectorised codec against.
  for (std::size_t len = 0; len <= 300; ++len) {
    std::string plain(len, '\0'), want(len, '\0');
    for (std::size_t i = 0; i < len; ++i) {
      auto b = static_cast<unsigned char>(i * 37 + len);
      plain[i] = static_cast<char>(b);
      want[i] = static_cast<char>(b < 33 || b > 126 ? b : b <= 100 ? b + 26 : b - 68);
    }
    ASSERT_EQ(test::scramble(plain), want) << len;
    crypt_decode(reinterpret_cast<unsigned char*>(want.data()), len);
    ASSERT_EQ(want, plain) << len;
  }
}

TEST(Number, ReadsLikeAtoiWithoutOverflow) {
  const std::pair<std::string, std::int64_t> cases[] = {
      {"600000", 600000}, {" \t\n-42x7", -42}, {"+17", 17}, {"", 0}, {"- 5", 0}};
  for (const auto& [text, value] : cases) EXPECT_EQ(read_decimal(text), value) << text;
  EXPECT_EQ(read_int32("2147483647"), 2147483647);
  EXPECT_EQ(read_int32("-2147483648"), -2147483647 - 1);
  for (std::string out : {"2147483648", "-2147483649", "99999999999999999999999"}) {
    EXPECT_FALSE(read_int32(out)) << out;
  }
  EXPECT_FALSE(read_int32("-" + std::string(500, '9')));
}

TEST(Trailer, LayoutAndRoundTrip) {
  pac_index index;
  set_field(index.count, "50", "");
  for (int i : {0, 7, 49}) {
    std::string n = std::to_string(i);
    set_slot(index, i, "t" + n, "n" + n, "s" + n, "o" + n, "m" + n);
    set_field(index.members[i].version, "v" + n, "");
  }
  set_field(index.meta_version, "mv", "");
  set_field(index.header_size, "hs", "");
  set_field(index.feature, "fe", "");
  trailer_bytes want{};
  auto put = [&](std::size_t at, const std::string& s) {
    std::memcpy(&want[at], s.data(), s.size());
  };
  put(0, "50");
  for (std::size_t i : {0, 7, 49}) {
    for (auto [at, what] : {std::pair{0, "t"}, {32, "v"}, {96, "s"}, {128, "o"}, {160, "m"}}) {
      put(32 + 480 * i + at, what + std::to_string(i));
    }
    put(32 + 480 * i + 224, "n" + std::to_string(i));
  }
  put(24032, "mv");
  put(24064, "hs");
  put(24096, "fe");
  trailer_bytes got{};
  encode_trailer(index, got);
  EXPECT_EQ(got, want);
  // Fields that fill their width have no terminator and are read whole.
  std::memset(&got[256], 'N', 256);
  pac_index back;
  decode_trailer(got, back);
  EXPECT_EQ(field(back.members[0].name), std::string(256, 'N'));
  EXPECT_EQ(field(back.members[49].md5), "m49");
  EXPECT_EQ(field(back.feature), "fe");
}

class Store : public test::pac_test {
 protected:
  std::string load_error(const std::string& bytes) {
    test::write_file(at("p.pac"), bytes);
    pac_index index;
    try {
      pac_index_load(at("p.pac"), index);
    } catch (const kb_error& e) {
      return e.what();
    }
    return "loaded";
  }
  // Two members in 300 bytes of data, slot 1 with the given size and offset.
  static std::string two(const char* size, const char* offset, const char* count = "2") {
    pac_index index;
    set_field(index.count, count, "");
    set_slot(index, 0, "system", "sys.img", "200", "100");
    set_slot(index, 1, "modem", "m.bin", size, offset);
    return test::package_bytes(std::string(300, 'x'), index);
  }
};

TEST_F(Store, Md5OfStringsAndFiles) {
  char out[MD5_TEXT_SIZE] = {};
  md5_string_hex("message digest", out);
  EXPECT_STREQ(out, "f96b697d7cb7938d525a2f31aaf161d0");
  const std::string big = test::random_bytes(200000, 7), name = at("big");  // several blocks
  test::write_file(name, big);
  EXPECT_EQ(md5_file_hex(name.c_str(), out), 0);
  EXPECT_EQ(out, test::md5_of(big));
  EXPECT_EQ(md5_file_prefix_hex(name.c_str(), 100000, out), 0);
  EXPECT_EQ(out, test::md5_of(big.substr(0, 100000)));
  EXPECT_EQ(md5_file_prefix_hex(name.c_str(), 200001, out), -1);  // one byte short
  EXPECT_EQ(md5_file_hex(at("missing").c_str(), out), -1);
}

TEST_F(Store, LoaderRejections) {
  const std::string not_right = "\r\n file is not right! \r\n";
  EXPECT_EQ(load_error(two("-100", "0")), "\r\n file size is not right! \r\n");
  EXPECT_EQ(load_error(two("100", "0") + "!"), "\r\n file size is not right! \r\n");
  EXPECT_EQ(load_error(two("100", "0", "51")), "\r\n file count 51 is more than 50! \r\n");
  for (auto [size, offset] : {std::pair{"301", "0"},
                              {"0", "301"},
                              {"200", "101"},
                              {"4294967296", "0"},
                              {"0", "-2147483649"}}) {
    EXPECT_EQ(load_error(two(size, offset)), not_right) << size << " " << offset;
  }
  // Every cut of a good package is refused; short of a trailer by name.
  EXPECT_EQ(load_error(two("100", "0")), "loaded");
  for (off_t len = 24460 - 1; len >= 0; --len) {
    ASSERT_EQ(truncate(at("p.pac").c_str(), len), 0);
    pac_index index;
    try {
      pac_index_load(at("p.pac"), index);
      ASSERT_EQ(len, 24160) << "a cut package loaded";  // read as a bare empty trailer
    } catch (const kb_error& e) {
      if (len < 24160) {
        ASSERT_EQ(e.what(), "\r\n " + at("p.pac") + " is not a pac file! \r\n");
      }
    }
  }
}

TEST_F(Store, SumsThatWrapCannotHideAMemberPastTheData) {
  // A 1.2 GB sparse data region: size and offset each fit, their 32-bit sum
  // wraps negative, yet the member would run past the data.
  pac_index index;
  set_field(index.count, "1", "");
  set_slot(index, 0, "a", "a", "1100000000", "1100000000");
  const std::string trailer = test::package_bytes("", index);
  test::write_file(at("p.pac"), "");
  ASSERT_EQ(truncate(at("p.pac").c_str(), 1200000000), 0);
  file_ptr f = open_file(at("p.pac"), "r+b");
  ASSERT_EQ(fseeko(f.get(), 0, SEEK_END), 0);
  ASSERT_EQ(std::fwrite(trailer.data(), 1, trailer.size(), f.get()), trailer.size());
  f.reset();
  pac_index back;
  EXPECT_THROW(pac_index_load(at("p.pac"), back), kb_error);
}

}  // namespace
}  // namespace kb
