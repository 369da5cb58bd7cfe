#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "support/helpers.h"

namespace kb {
namespace {

using test::set_slot;

std::string load_error(const std::string& path) {
  pac_index index;
  try {
    pac_index_load(path, index);
  } catch (const kb_error& e) {
    return e.what();
  }
  return "loaded";
}

// A package of two members (300 bytes of data) with every field set.
pac_index sample_index() {
  pac_index index;
  set_field(index.count, "2", "count");
  set_slot(index, 0, "system", "sys.img", "1.2,beta", "200", "100", std::string(32, 'a'));
  set_slot(index, 1, "modem", "modem.bin", "7", "100", "0", std::string(32, 'b'));
  set_field(index.feature, "12345", "feature");
  return index;
}

TEST(Trailer, WrittenTrailerLoadsBackEveryField) {
  test::scratch_dir dir;
  pac_index index = sample_index();
  {
    file_ptr f = open_file(dir / "p.pac", "wb");
    std::string data(300, 'x');
    std::fwrite(data.data(), 1, data.size(), f.get());
    ASSERT_TRUE(pac_index_write_trailer(index, f.get()));
  }
  EXPECT_EQ(test::file_size(dir / "p.pac"), 300 + 24160);
  pac_index back;
  pac_index_load(dir / "p.pac", back);
  EXPECT_EQ(field(back.count), "2");
  EXPECT_EQ(field(back.meta_version), "1.0");
  EXPECT_EQ(field(back.header_size), "24160");
  EXPECT_EQ(field(back.feature), "12345");
  for (int i = 0; i < PAC_MAX_MEMBERS; ++i) {
    const pac_member& a = index.members[i];
    const pac_member& b = back.members[i];
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.size, b.size);
    EXPECT_EQ(a.offset, b.offset);
    EXPECT_EQ(a.md5, b.md5);
  }
}

TEST(Trailer, LayoutMatchesTheFormat) {
  pac_index index;
  set_field(index.count, "50", "count");
  for (int i : {0, 7, 49}) {
    set_slot(index, i, "t" + std::to_string(i), "n" + std::to_string(i), "v" + std::to_string(i),
             "s" + std::to_string(i), "o" + std::to_string(i), "m" + std::to_string(i));
  }
  set_field(index.meta_version, "mv", "");
  set_field(index.header_size, "hs", "");
  set_field(index.feature, "fe", "");

  trailer_bytes want{};
  auto put = [&](std::size_t at, const std::string& s) {
    std::memcpy(&want[at], s.data(), s.size());
  };
  put(0, "50");
  for (int i : {0, 7, 49}) {
    std::size_t base = 32 + 480 * static_cast<std::size_t>(i);
    std::string n = std::to_string(i);
    put(base, "t" + n);
    put(base + 32, "v" + n);
    put(base + 96, "s" + n);
    put(base + 128, "o" + n);
    put(base + 160, "m" + n);
    put(base + 224, "n" + n);
  }
  put(24032, "mv");
  put(24064, "hs");
  put(24096, "fe");

  trailer_bytes got{};
  encode_trailer(index, got);
  EXPECT_EQ(got, want);
}

TEST(Trailer, FieldsWithoutTerminatorAreUsedAtTheirWidth) {
  trailer_bytes raw{};
  std::memset(raw.data() + 32, 'T', 32);    // slot 0 type
  std::memset(raw.data() + 256, 'N', 256);  // slot 0 name, last field of the slot
  pac_index index;
  decode_trailer(raw, index);
  EXPECT_EQ(field(index.members[0].type), std::string(32, 'T'));
  EXPECT_EQ(field(index.members[0].name), std::string(256, 'N'));
  EXPECT_EQ(field(index.members[0].version), "");
}

TEST(Trailer, Rejections) {
  test::scratch_dir dir;
  const std::string p = dir / "p.pac";
  EXPECT_EQ(load_error(p), "\r\n file " + p + " not exist! \r\n");

  pac_index index = sample_index();
  const std::string good = test::package_bytes(std::string(300, 'x'), index);
  test::write_file(p, good);
  EXPECT_EQ(load_error(p), "loaded");

  test::write_file(p, good + "!");
  EXPECT_EQ(load_error(p), "\r\n file size is not right! \r\n");

  // Every length short of a trailer is refused by name; every longer cut of
  // the package fails one of the checks. (Its first 24160 bytes alone read
  // as a valid empty package: the shifted count and sizes all read as 0.)
  test::write_file(p, good);
  for (long long len = static_cast<long long>(good.size()) - 1; len >= 0; --len) {
    ASSERT_EQ(truncate(p.c_str(), len), 0);
    std::string err = load_error(p);
    if (len < 24160) {
      ASSERT_EQ(err, "\r\n " + p + " is not a pac file! \r\n") << len;
    } else if (len > 24160) {
      ASSERT_NE(err, "loaded") << len;
    }
  }

  const std::string not_right = "\r\n file is not right! \r\n";
  struct bad_slot {
    const char* what;
    const char* size;
    const char* offset;
  };
  for (const bad_slot& c :
       {bad_slot{"size past data", "301", "0"}, bad_slot{"offset past data", "0", "301"},
        bad_slot{"sum past data", "200", "101"}, bad_slot{"size beyond 32 bits", "4294967296", "0"},
        bad_slot{"offset below 32 bits", "0", "-2147483649"}}) {
    pac_index bad = sample_index();
    set_field(bad.members[1].size, c.size, "");
    set_field(bad.members[1].offset, c.offset, "");
    test::write_file(p, test::package_bytes(std::string(300, 'x'), bad));
    EXPECT_EQ(load_error(p), not_right) << c.what;
  }

  // An unused slot is checked too, whatever the count says.
  pac_index unused = sample_index();
  set_field(unused.members[49].offset, "1000", "");
  test::write_file(p, test::package_bytes(std::string(300, 'x'), unused));
  EXPECT_EQ(load_error(p), not_right);

  pac_index many = sample_index();
  set_field(many.count, "51", "");
  test::write_file(p, test::package_bytes(std::string(300, 'x'), many));
  EXPECT_EQ(load_error(p), "\r\n file count 51 is more than 50! \r\n");
}

TEST(Trailer, WrappingSumsFollowTheStoredRules) {
  // A negative size lowers the total and passes, as stored packages have
  // always been read.
  test::scratch_dir dir;
  const std::string p = dir / "p.pac";
  pac_index index;
  set_field(index.count, "3", "");
  set_slot(index, 0, "a", "a", "", "-100", "0", "");
  set_slot(index, 1, "b", "b", "", "300", "0", "");
  set_slot(index, 2, "c", "c", "", "100", "200", "");
  test::write_file(p, test::package_bytes(std::string(300, 'x'), index));
  EXPECT_EQ(load_error(p), "loaded");

  // Size and offset each inside a 1.2 GB data region (a sparse file), with a
  // 32-bit sum that wraps negative: the member would run past the data.
  const long long data = 1200000000;
  set_field(index.count, "1", "");
  index.members[1] = index.members[2] = pac_member{};
  set_slot(index, 0, "a", "a", "", "1100000000", "1100000000", "");
  std::string trailer = test::package_bytes("", index);
  test::write_file(p, "");
  ASSERT_EQ(truncate(p.c_str(), data), 0);
  {
    file_ptr f = open_file(p, "r+b");
    ASSERT_EQ(fseeko(f.get(), data, SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(trailer.data(), 1, trailer.size(), f.get()), trailer.size());
  }
  EXPECT_EQ(load_error(p), "\r\n file is not right! \r\n");
}

TEST(Order, BySizeAndByOffset) {
  pac_index index;
  set_field(index.count, "4", "");
  set_slot(index, 0, "a", "a", "", "10", "30", "");
  set_slot(index, 1, "b", "b", "", "20", "10", "");
  set_slot(index, 2, "c", "c", "", "10", "30", "");
  set_slot(index, 3, "d", "d", "", "-1", "-5", "");
  std::vector<int> got;
  for (int i = next_member_by_size(index); i != -1; i = next_member_by_size(index))
    got.push_back(i);
  EXPECT_EQ(got, (std::vector<int>{1, 0, 2}));  // equal sizes in slot order, negative never

  for (auto& m : index.members) m.selected = false;
  got.clear();
  for (int i = next_member_by_offset(index); i != -1; i = next_member_by_offset(index)) {
    got.push_back(i);
  }
  EXPECT_EQ(got, (std::vector<int>{0, 2, 1}));

  set_field(index.count, "-3", "");
  EXPECT_EQ(next_member_by_size(index), -1);
}

}  // namespace
}  // namespace kb
