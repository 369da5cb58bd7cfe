#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ops/ops.h"
#include "support/helpers.h"

namespace kb {
namespace {

using test::read_file;
using test::run_tool;
using test::write_file;

struct member_file {
  std::string type;
  std::string name;
  std::string bytes;
};

// Writes the members into dir and makes dir/p.pac of them, in this order.
void make_package_of(const test::scratch_dir& dir, const std::vector<member_file>& members) {
  std::vector<std::string> args = {"-m", "p.pac"};
  for (const auto& m : members) {
    write_file(dir / m.name, m.bytes);
    args.insert(args.end(), {"-a", m.type + "," + m.name + ",1"});
  }
  auto r = run_tool(dir.path(), args);
  ASSERT_EQ(r.status, 0) << r.out;
  for (const auto& m : members) std::remove((dir / m.name).c_str());
}

std::vector<member_file> example() {
  return {{"system", "M1", test::random_bytes(100, 1)},
          {"modem", "M2", test::random_bytes(600000, 2)},
          {"idu", "M3", test::random_bytes(100, 3)}};
}

TEST(Extract, ShrinksThePackageBehindEveryPiece) {
  test::scratch_dir dir;
  const auto members = example();
  make_package_of(dir, members);
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);

  pac_options options;
  options.package_path = dir / "p.pac";
  dest_dir_map dirs = {{"system", dir / "out"}, {"modem", dir / "out"}, {"idu", dir / "out"}};
  pac_index index;
  pac_index_load(options.package_path, index);
  std::vector<std::int64_t> lengths;
  std::vector<std::int64_t> outputs;  // bytes held by the outputs at each step
  extract_in_place(options, dirs, index, [&](std::int64_t length) {
    lengths.push_back(length);
    std::int64_t held = 0;
    for (const auto& m : members) held += std::max(0LL, test::file_size(dir / ("out/" + m.name)));
    outputs.push_back(held);
  });
  EXPECT_EQ(lengths, (std::vector<std::int64_t>{600100, 600000, 75712, 0}));
  EXPECT_EQ(outputs, (std::vector<std::int64_t>{100, 200, 524488, 600200}));
  for (const auto& m : members)
    EXPECT_TRUE(read_file(dir / ("out/" + m.name)) == m.bytes) << m.name;
}

TEST(Extract, CommandOutputAndPreservingRuns) {
  test::scratch_dir dir;
  const auto members = example();
  make_package_of(dir, members);
  const std::string pkg = read_file(dir / "p.pac");

  auto r = run_tool(dir.path(), {"-e", "p.pac", "-p"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "\r\n extract file M3 size:100 md5:" + test::md5_of(members[2].bytes) +
                       ",version:1 successfully! \r\n"
                       "\r\n extract file M1 size:100 md5:" +
                       test::md5_of(members[0].bytes) +
                       ",version:1 successfully! \r\n"
                       "\r\n extract file M2 size:600000 md5:" +
                       test::md5_of(members[1].bytes) + ",version:1 successfully! \r\n");
  EXPECT_TRUE(read_file(dir / "p.pac") == pkg);
  for (const auto& m : members) EXPECT_TRUE(read_file(dir / m.name) == m.bytes);

  for (const auto& m : members) std::remove((dir / m.name).c_str());
  r = run_tool(dir.path(), {"-e", "p.pac", "-t", "modem"});  // -t preserves by itself
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(read_file(dir / "p.pac") == pkg);
  EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"M2", "p.pac"}));

  r = run_tool(dir.path(), {"-e", "p.pac", "-t", "nosuchtype"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

TEST(Extract, Mappings) {
  test::scratch_dir dir;
  const auto members = example();
  make_package_of(dir, members);
  ASSERT_EQ(mkdir((dir / "sys").c_str(), 0755), 0);
  auto r = run_tool(dir.path(), {"-e", "p.pac", "-d", "system,sys", "-d", "idu,no/such/dir"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("\r\n field = sys \r\n\r\n field = no/such/dir \r\n"), 0u);
  EXPECT_TRUE(read_file(dir / "sys/M1") == members[0].bytes);
  EXPECT_TRUE(read_file(dir / "M2") == members[1].bytes);  // unmapped
  EXPECT_TRUE(read_file(dir / "M3") == members[2].bytes);  // mapping did not resolve
  EXPECT_EQ(test::file_size(dir / "p.pac"), 0);

  // A mapped directory gone by the time its member comes.
  make_package_of(dir, members);
  pac_options options;
  options.package_path = dir / "p.pac";
  options.preserve = true;
  pac_index index;
  pac_index_load(options.package_path, index);
  try {
    extract_in_place(options, {{"system", dir / "gone"}}, index);
    FAIL() << "extracted into a missing directory";
  } catch (const kb_error& e) {
    EXPECT_EQ(std::string(e.what()), "\r\ndest directory " + (dir / "gone") + " not exit! \r\n");
  }
}

TEST(Extract, EmptyAndCorruptMembers) {
  test::scratch_dir dir;
  make_package_of(dir, {{"t", "empty", ""}});
  const std::string pkg = read_file(dir / "p.pac");
  auto r = run_tool(dir.path(), {"-e", "p.pac"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(test::file_size(dir / "empty"), 0);
  EXPECT_TRUE(read_file(dir / "p.pac") == pkg);  // no piece taken, no cut

  make_package_of(dir, {{"t", "a.bin", test::random_bytes(1000, 5)}});
  std::string bad = read_file(dir / "p.pac");
  bad[500] = static_cast<char>(bad[500] ^ 1);
  write_file(dir / "p.pac", bad);
  r = run_tool(dir.path(), {"-e", "p.pac", "-p"});
  EXPECT_EQ(r.status, 255);
  std::string got = bad.substr(0, 1000);
  crypt_decode(reinterpret_cast<unsigned char*>(got.data()), got.size());
  EXPECT_EQ(r.out, "\r\n file a.bin checksum " + test::md5_of(got) + " not right! \r\n");
  EXPECT_EQ(test::file_size(dir / "a.bin"), 1000);  // the output stays
}

TEST(Extract, UnsafeMembersAreRefusedBeforeAnythingChanges) {
  test::scratch_dir dir;
  ASSERT_EQ(mkdir((dir / "work").c_str(), 0755), 0);
  const std::string data = "abcdef";
  for (const std::string name : {"../evil", "a/b", "..", ".", "p.pac"}) {
    pac_index index;
    set_field(index.count, "2", "");
    test::set_slot(index, 0, "t", "fine", "1", "3", "0", test::md5_of("abc"));
    test::set_slot(index, 1, "t", name, "1", "3", "3", test::md5_of("def"));
    const std::string pkg = test::package_bytes(data, index);
    write_file(dir / "work/p.pac", pkg);
    auto r = run_tool(dir / "work", {"-e", "p.pac"});
    EXPECT_EQ(r.status, 255) << name;
    EXPECT_NE(r.out.find(name == "p.pac" ? "itself" : "plain file name"), std::string::npos)
        << r.out;
    EXPECT_TRUE(read_file(dir / "work/p.pac") == pkg) << name;
    EXPECT_EQ(test::list_dir(dir / "work"), std::vector<std::string>{"p.pac"});
    EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"work"});
  }
}

TEST(Extract, RoundTripOfManySizes) {
  test::scratch_dir dir;
  std::vector<member_file> members;
  unsigned seed = 20;
  for (std::size_t size : {0, 1, 524287, 524288, 524289, 1300000}) {
    members.push_back({"t", "m" + std::to_string(size), test::random_bytes(size, seed++)});
  }
  make_package_of(dir, members);
  auto r = run_tool(dir.path(), {"-e", "p.pac"});
  ASSERT_EQ(r.status, 0) << r.out;
  for (const auto& m : members) EXPECT_TRUE(read_file(dir / m.name) == m.bytes) << m.name;
  EXPECT_EQ(test::file_size(dir / "p.pac"), 0);
}

}  // namespace
}  // namespace kb
